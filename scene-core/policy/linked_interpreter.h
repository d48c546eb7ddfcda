// The interpreter the shipped library is linked against. Only the shared
// library's own sources use it, so that the library's internals (and the
// tests, fuzz targets and benchmarks built from them) link without one.
#pragma once

#include "policy/deployment.h"

namespace zorva::scene {

const InterpreterTable &linkedInterpreter();

}  // namespace zorva::scene

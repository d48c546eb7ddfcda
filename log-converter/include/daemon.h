// The daemon's run: follow the input log until SIGINT or SIGTERM.
#pragma once

#include "config.h"

namespace vrex {

// Runs the daemon in the foreground with an already initialised Logger and
// converter debug mode. Returns the process exit status.
int runDaemon(const Config &config);

}  // namespace vrex

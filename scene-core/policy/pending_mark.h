// The mark that a deployment is pending: a file beside the policy text that
// exists from before the document is saved until the interpreter has taken
// the whole change. A process killed anywhere in between leaves it, and the
// next rule operation then deploys the whole current state.
#pragma once

#include <string>

#include "common/error.h"

namespace zorva::scene {

// True when the mark exists (or cannot be told absent: when in doubt,
// deploy everything).
bool deploymentPending(const std::string &markPath);

// Creates the mark and makes it durable (its directory is flushed) before
// returning; creates the mark's directory when it is
// missing. A failure is a policy file write failure.
Status markDeploymentPending(const std::string &markPath);

// Removes the mark.
Status clearDeploymentPending(const std::string &markPath);

// Creates the directory `dir` (mode 0755) unless it exists.
Status ensurePolicyDirectory(const std::string &dir);

}  // namespace zorva::scene

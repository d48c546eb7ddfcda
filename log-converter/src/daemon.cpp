// Placeholder until the input follower lands: the daemon mode reports that it
// cannot start.
#include "daemon.h"

#include <cstdio>

namespace vrex {

int runDaemon(const Config &) {
    std::fprintf(stderr, "vrex-log-converter: daemon mode is not available in this build\n");
    return 1;
}

}  // namespace vrex

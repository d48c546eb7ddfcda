// A GLib warning or critical in a test (a g_return_if_fail that failed inside
// GLib) means our code passed GLib something invalid: make it fail the test.
#include <glib.h>

namespace {

struct FatalGlibWarnings {
    FatalGlibWarnings() {
        g_log_set_always_fatal(
            static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    }
} fatalGlibWarnings;

}  // namespace

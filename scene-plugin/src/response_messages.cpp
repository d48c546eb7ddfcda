#include "response_messages.h"

namespace zorva::plugin {

namespace {

// The core library never returns these codes today; should one appear, say
// so plainly rather than guess at a cause.
constexpr const char *kUnexpected = "unexpected failure in the container module";

// Index: the negated code, 1 to 17. Each says what the core library's code
// means (its header lists them). -1 is also every failure of a get call
// after the caller and add-on checks: a container not in the document
// included. -2 belongs to the "already exists" error, which no operation
// returns today (adding a listed path succeeds).
constexpr const char *kFailureMessages[] = {
    nullptr,
    "invalid argument (container id, module, status, path or mode), or the container status could not be read",  // -1
    "the entry already exists",                                                                                  // -2
    "not found: the container, the path in its rule list, or the rule list",                                     // -3
    "permission denied: only the zorva daemon may use the container module",                                     // -4
    "failed to generate the policy text from the scene document",                                                // -5
    "failed to write the policy file or its pending-deployment mark",                                            // -6
    kUnexpected,                                                                                                 // -7
    "failed to add the container entry to the scene document",                                                   // -8
    kUnexpected,                                                                                                 // -9
    "failed to deploy the policy to the kernel",                                                                 // -10
    kUnexpected,                                                                                                 // -11
    kUnexpected,                                                                                                 // -12
    "failed to compile the initial policy",                                                                      // -13
    "invalid add-on kind (it must be 0, 1 or 2)",                                                                // -14
    "failed to send the compiled policy to the kernel",                                                          // -15
    "failed to change a dynamic policy variable",                                                                // -16
    "failed to compile the changed policy section",                                                              // -17
};

}  // namespace

const char *messageForCode(int32_t code) noexcept {
    if (code == 0)
        return "success";
    if (code < 0 && code >= -17)
        return kFailureMessages[-code];
    return "unknow error";
}

}  // namespace zorva::plugin

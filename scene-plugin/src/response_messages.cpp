#include "response_messages.h"

namespace zorva::plugin {

namespace {

// The core library never returns these codes today; should one appear, say
// so plainly rather than guess at a cause.
constexpr const char *kUnexpected = "unexpected failure in the container module";

// Index: the negated code, 1 to 17.
constexpr const char *kFailureMessages[] = {
    nullptr,
    "invalid argument: the container id, path, mode or status is not accepted",  // -1
    "the entry already exists",                                                  // -2
    "container or path not found",                                               // -3
    "permission denied: only the zorva daemon may change container protection",  // -4
    "failed to generate the policy text from the scene document",                // -5
    "failed to write the policy file",                                           // -6
    kUnexpected,                                                                 // -7
    "failed to add or remove the container entry in the scene document",         // -8
    kUnexpected,                                                                 // -9
    "failed to deploy the policy to the kernel",                                 // -10
    kUnexpected,                                                                 // -11
    kUnexpected,                                                                 // -12
    "failed to compile the initial policy",                                      // -13
    "invalid add-on kind (it must be 0, 1 or 2)",                                // -14
    "failed to send the compiled policy to the kernel",                          // -15
    "failed to change a dynamic policy variable",                                // -16
    "failed to compile the changed policy section",                              // -17
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

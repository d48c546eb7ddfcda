// Lets a program that loads a plug-in built with the core stand-in (the plug-in
// host's tests) steer it from outside: ZORVA_CORE_STANDIN_RESULT=N makes every
// call answer N, and every call is written to standard error as
//   core: FUNCTION("ID OR PATH"[, N...], {"ADDON NAME", KIND})
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core_standin.h"

namespace {

using namespace zorva::plugin::testing;

void trace(const CoreCall &call) {
    std::string line = std::string("core: ") + coreFunctionName(call.function) + "(";
    line += call.nullText ? "NULL" : "\"" + call.text + "\"";
    for (int64_t number : {call.number1, call.number2}) {
        if (number >= 0 || (number != -1 && call.function == CoreFunction::SetStatus))
            line += ", " + std::to_string(number);
    }
    if (call.nullAddon)
        line += ", NULL)";
    else
        line += ", {\"" + call.addonName + "\", " + std::to_string(call.addonKind) + "})";
    std::fprintf(stderr, "%s\n", line.c_str());
}

struct Configure {
    Configure() {
        if (const char *result = std::getenv("ZORVA_CORE_STANDIN_RESULT"))
            setCoreResult(static_cast<int32_t>(std::strtol(result, nullptr, 10)));
        setCoreObserver(trace);
    }
} configure;

}  // namespace

// A stand-in for the core library's eight exports, for the plug-in's tests,
// fuzz target and benchmark: each call is recorded with its arguments and
// answers the result the test set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zorva::plugin::testing {

enum class CoreFunction {
    GetStatus,
    SetStatus,
    GetModuleStatus,
    SetModuleStatus,
    AddFilePath,
    RemoveFilePath,
    AddNetPath,
    RemoveNetPath,
};

const char *coreFunctionName(CoreFunction function);

struct CoreCall {
    CoreFunction function = CoreFunction::GetStatus;
    bool nullText = false;  // the id or path was null
    std::string text;       // the id or path
    int64_t number1 = -1;   // status, module or mode (-1: not an argument)
    int64_t number2 = -1;   // set module status's status
    bool nullAddon = false;
    bool nullAddonName = false;
    std::string addonName;
    int32_t addonKind = 0;
};

// Forgets the recorded calls; every call answers 0 again.
void resetCore();
// The result of every following call.
void setCoreResult(int32_t result);
const std::vector<CoreCall> &coreCalls();
// Whether calls are recorded (on after resetCore). Off, only counted: the
// benchmark measures the plug-in, not the recording.
void setCoreRecording(bool on);
// Calls made since resetCore, recorded or not.
uint64_t coreCallCount();
// Also called with each call as it is recorded (none when empty).
void setCoreObserver(std::function<void(const CoreCall &)> observer);

}  // namespace zorva::plugin::testing

// Deploying the policy text through the policy interpreter: the choice
// between a full deployment and a change of sections and dynamic variables,
// and the interpreter calls themselves.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "policy/policy_text.h"

namespace zorva::scene {

// The interpreter's five functions: the linked library's in the shipped
// library (linkedInterpreter), fakes in tests.
struct InterpreterTable {
    int (*compileInitPolicy)();
    int (*deployPolicy)();
    int (*compileSectionPolicy)(const char *section, const char *policy);
    int (*sendPolicy)();
    int (*modifyDynamicVariable)(const char *name, const char *value, unsigned int type);
};

// What one rule operation asks of the interpreter.
struct DeploymentPlan {
    // One compileInitPolicy or deployPolicy, nothing else.
    bool full = false;
    // Otherwise: these sections (indices into the new text's sections) are
    // compiled and then sent once...
    std::vector<size_t> sections;
    // ...and then these variables are changed in place.
    struct VariableChange {
        std::string name;   // dotted: section name, ".", variable name
        std::string value;  // the list as the text writes it
        unsigned int type;  // the variant's index ("path" is 3)
    };
    std::vector<VariableChange> variables;
};

// Compares the new text with the old one (absent when there was none or it
// could not be read as ours). Full deployment when a deployment is pending,
// there is no usable old text, or the scene line or the list of section
// names differs. Otherwise each section whose text changed is compiled,
// unless its module is dynamic (`dynamic`, enable_dyn_changed as loaded) and
// only the values of its list variables changed: those variables are then
// changed in place.
DeploymentPlan planDeployment(const std::optional<PolicyText> &old, const PolicyText &now,
                              const std::vector<bool> &dynamic, bool pending);

// True when the kernel module's status file holds a non-zero decimal
// integer: it runs a policy, and a full deployment loads the new one with
// deployPolicy rather than compileInitPolicy. A missing, unreadable or
// non-regular file, or one that does not hold exactly an integer (blanks
// and a newline around it aside), counts as 0.
bool kernelRunsPolicy(const std::string &statusPath);

// Makes the plan's interpreter calls, printing "change section: <name>" and
// "change dyn_var: <name>" before each change. Stops at the first failure,
// whose error carries the failing call's line and kind.
Status runDeployment(const DeploymentPlan &plan, const PolicyText &now, const InterpreterTable &interpreter,
                     const std::string &statusPath);

}  // namespace zorva::scene

#include "policy/deployment.h"

#include "common/file_read.h"
#include "common/output.h"
#include "common/text.h"

namespace zorva::scene {

namespace {

// Larger status files are not an integer the kernel wrote.
constexpr size_t kMaxStatusBytes = 4096;

bool sameSectionNames(const PolicyTextModel &a, const PolicyTextModel &b) {
    if (a.sections.size() != b.sections.size())
        return false;
    for (size_t i = 0; i < a.sections.size(); ++i)
        if (a.sections[i].name != b.sections[i].name)
            return false;
    return true;
}

// True when the sections differ only in the values of list variables: same
// settings, same rules, same variables by name and kind in the same order.
bool onlyListValuesDiffer(const PolicySection &a, const PolicySection &b) {
    if (a.enabled != b.enabled || a.interactive != b.interactive || a.addon != b.addon || a.rules != b.rules ||
        a.variables.size() != b.variables.size())
        return false;
    for (size_t i = 0; i < a.variables.size(); ++i)
        if (a.variables[i].name != b.variables[i].name || a.variables[i].value.kind() != b.variables[i].value.kind())
            return false;
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

DeploymentPlan planDeployment(const std::optional<PolicyText> &old, const PolicyText &now,
                              const std::vector<bool> &dynamic, bool pending) {
    DeploymentPlan plan;
    if (pending || !old || old->headerText() != now.headerText() || !sameSectionNames(old->model, now.model)) {
        plan.full = true;
        return plan;
    }
    for (size_t i = 0; i < now.model.sections.size(); ++i) {
        if (old->sectionText(i) == now.sectionText(i))
            continue;
        const PolicySection &before = old->model.sections[i];
        const PolicySection &after = now.model.sections[i];
        bool dyn = i < dynamic.size() && dynamic[i];
        if (!dyn || !onlyListValuesDiffer(before, after)) {
            plan.sections.push_back(i);
            continue;
        }
        std::vector<DeploymentPlan::VariableChange> changes;
        bool nameFits = true;
        for (size_t v = 0; v < after.variables.size(); ++v) {
            const VariableTypes &value = after.variables[v].value;
            if (before.variables[v].value == value)
                continue;
            changes.push_back({after.name + "." + after.variables[v].name, renderListValue(value),
                               static_cast<unsigned int>(value.kind())});
            // A name holding a NUL cannot cross the C interface whole.
            nameFits = nameFits && changes.back().name.find('\0') == std::string::npos;
        }
        if (!nameFits) {
            plan.sections.push_back(i);
            continue;
        }
        for (auto &change : changes)
            plan.variables.push_back(std::move(change));
    }
    return plan;
}

bool kernelRunsPolicy(const std::string &statusPath) {
    auto file = readRegularFileIfPresent(statusPath, kMaxStatusBytes);
    if (!file || !file.value().present)
        return false;
    std::string_view text = file.value().bytes;
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    if (text.empty())
        return false;
    bool nonZero = false;
    // Any number of digits: the value is never converted, only told from 0.
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        nonZero = nonZero || c != '0';
    }
    return nonZero;
}

Status runDeployment(const DeploymentPlan &plan, const PolicyText &now, const InterpreterTable &interpreter,
                     const std::string &statusPath) {
    if (plan.full) {
        if (kernelRunsPolicy(statusPath)) {
            if (int ret = interpreter.deployPolicy(); ret != 0)
                return Error(ErrorKind::DeployFailed, "deploy policy ret:" + std::to_string(ret));
        } else if (int ret = interpreter.compileInitPolicy(); ret != 0) {
            return Error(ErrorKind::CompileInitFailed, "init policy compile policy failed ret:" + std::to_string(ret));
        }
        return {};
    }
    for (size_t index : plan.sections) {
        const std::string &name = now.model.sections[index].name;
        printLine("change section: " + name);
        const std::string text(now.sectionText(index));
        if (int ret = interpreter.compileSectionPolicy(name.c_str(), text.c_str()); ret != 0)
            return Error(ErrorKind::CompileSectionFailed,
                         "failed to compile section policy: " + name + ", ret=" + std::to_string(ret));
    }
    if (!plan.sections.empty()) {
        if (int ret = interpreter.sendPolicy(); ret != 0)
            return Error(ErrorKind::SendPolicyFailed,
                         "failed to send compiled section policy, ret=" + std::to_string(ret));
    }
    for (const auto &change : plan.variables) {
        // Variable names come from the document: escaped, the line stays one line.
        printLine("change dyn_var: " + escaped(change.name));
        if (int ret = interpreter.modifyDynamicVariable(change.name.c_str(), change.value.c_str(), change.type);
            ret != 0)
            return Error(ErrorKind::DynamicVariableFailed,
                         "failed to modify dynamic variable " + escaped(change.name) + ", ret=" + std::to_string(ret));
    }
    return {};
}

}  // namespace zorva::scene

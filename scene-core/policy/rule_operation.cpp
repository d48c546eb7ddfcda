#include "policy/rule_operation.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>

#include "common/entry_checks.h"
#include "common/file_read.h"
#include "common/output.h"
#include "common/path_rules.h"
#include "common/text.h"
#include "policy/container_status.h"
#include "policy/document_file.h"
#include "policy/pending_mark.h"
#include "sysutil/atomic_file.h"
#include "sysutil/io.h"
#include "sysutil/path.h"

namespace zorva::scene {

RuleContext defaultRuleContext(const InterpreterTable &interpreter) {
    RuleContext ctx;
    ctx.documentPath = "/etc/zorva-scene/scene/zorva_container.json";
    ctx.policyPath = "/etc/zorva-scene/policy/zorva_container.policy";
    ctx.pendingMarkPath = "/etc/zorva-scene/policy/zorva_container.policy.pending";
    ctx.kernelPolicyStatusPath = "/sys/kernel/security/vrex/status";
    ctx.sceneName = "zorva_container";
    ctx.interpreter = &interpreter;
    ctx.pluginManager = &systemPluginManagerLoader();
    ctx.callerExecutable = &currentExecutable;
    return ctx;
}

namespace {

constexpr const char *kUpdateContext = "when updating str list data";

// The string list named by the dotted name.
Result<std::vector<std::string> *> listOf(Policy &policy, std::string_view listName) {
    auto var = findVariable(policy, listName);
    if (!var)
        return std::move(var.error()).context(kUpdateContext);
    auto *list = var.value()->value.stringList();
    if (list == nullptr)
        return Error(ErrorKind::VariableTypeMismatch, "variable " + std::string(listName) + " is not a string list")
            .context(kUpdateContext);
    return list;
}

// Applies the change; true when the list changed.
Result<bool> applyChange(std::vector<std::string> &list, RuleAction action, std::string_view listName,
                         std::string_view path) {
    auto it = std::find(list.begin(), list.end(), path);
    if (action == RuleAction::Add) {
        if (it != list.end())
            return false;
        list.emplace_back(path);
        return true;
    }
    if (it == list.end())
        return Error(ErrorKind::NotFound, "path \"" + escaped(path) + "\" not found in " + std::string(listName));
    // Every copy goes: a hand-edited list may hold a path twice.
    list.erase(std::remove(it, list.end(), path), list.end());
    return true;
}

// The policy text as the last operation left it, when it can be read as ours.
std::optional<PolicyText> oldPolicyText(const std::string &path) {
    auto file = readRegularFileIfPresent(path, kMaxPolicyTextBytes);
    if (!file || !file.value().present)
        return std::nullopt;
    auto text = parsePolicyText(std::move(file.value().bytes));
    if (!text)
        return std::nullopt;
    return std::move(text.value());
}

Status writePolicyText(const std::string &path, const std::string &text) {
    vrex::sys::ReplaceOptions options;
    options.keepExistingMode = true;
    options.mode = 0644;
    // Every writer of the policy text holds the document lock.
    options.sweepStale = true;
    vrex::sys::ReplaceResult result = vrex::sys::replaceFile(path, text, options);
    if (result.ok())
        return {};
    return Error(ErrorKind::PolicyFileWriteFailed, vrex::sys::errorText(result.err))
        .context("failed to write the policy file " + path);
}

// Everything after the document is loaded and changed in memory.
Status writeAndDeploy(const RuleContext &ctx, Policy &policy, bool changed, bool pending) {
    std::vector<bool> dynamic;
    auto text = generatePolicyText(policy, &dynamic);
    if (!text)
        return std::move(text.error());
    // A pending deployment is a full one whatever the old text holds.
    DeploymentPlan plan =
        planDeployment(pending ? std::nullopt : oldPolicyText(ctx.policyPath), text.value(), dynamic, pending);
    // From here until the interpreter has taken everything, a crash must
    // leave the mark behind.
    if (!pending)
        if (auto marked = markDeploymentPending(ctx.pendingMarkPath); !marked)
            return marked;
    if (changed)
        if (auto saved = savePolicy(ctx.documentPath, policy); !saved)
            return saved;
    if (auto written = writePolicyText(ctx.policyPath, text.value().text); !written)
        return written;
    if (auto merged = mergeThroughPluginManager(*ctx.pluginManager, ctx.sceneName, ctx.policyPath); !merged)
        return merged;
    if (auto deployed = runDeployment(plan, text.value(), *ctx.interpreter, ctx.kernelPolicyStatusPath); !deployed)
        return deployed;
    // The change is in force; a mark that cannot be removed costs one more
    // full deployment, not a failure.
    if (auto cleared = clearDeploymentPending(ctx.pendingMarkPath); !cleared)
        printLine(cleared.error().chain());
    return {};
}

}  // namespace

Status changePathRule(const RuleContext &ctx, RuleAction action, std::string_view listName, std::string_view path) {
    auto lock = DocumentLock::acquire(ctx.documentPath);
    if (!lock)
        return std::move(lock.error());
    removeStaleTemporaryFiles(ctx.documentPath);
    auto policy = loadPolicy(ctx.documentPath);
    if (!policy)
        return std::move(policy.error());
    auto list = listOf(policy.value(), listName);
    if (!list)
        return std::move(list.error());
    auto changed = applyChange(*list.value(), action, listName, path);
    if (!changed)
        return std::move(changed.error());
    bool pending = deploymentPending(ctx.pendingMarkPath);
    if (!changed.value() && !pending)
        return {};
    return writeAndDeploy(ctx, policy.value(), changed.value(), pending);
}

namespace {

int32_t report(const Error &e) {
    printLine(e.chain());
    return e.code();
}

}  // namespace

int32_t runPathRule(const RuleContext &ctx, RuleAction action, const char *path, ListSelector select, uint32_t mode,
                    const zorva_scene_addon_info *addon) {
    try {
        if (auto code = refuseCaller(ctx.callerExecutable))
            return *code;
        if (path == nullptr)
            return report(Error(ErrorKind::InvalidArgument, "path is null"));
        if (auto checked = checkRulePath(path); !checked)
            return report(checked.error());
        auto listName = select(mode);
        if (!listName)
            return report(listName.error());
        if (auto code = refuseAddon(addon))
            return *code;
        auto done = changePathRule(ctx, action, listName.value(), path);
        return done ? 0 : report(done.error());
    } catch (const std::bad_alloc &) {
        printLine("out of memory");
    } catch (const std::exception &e) {
        printLine(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        printLine("unexpected failure");
    }
    return 1;
}

}  // namespace zorva::scene

// The file-control and network-control rule operations: add a path to or
// remove it from a list variable of the scene document, then write the
// policy text, hand it to the plugin manager and deploy it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/pluginmgr_bridge.h"
#include "policy/deployment.h"
#include "zorva_scene_container.h"

namespace zorva::scene {

struct RuleContext {
    std::string documentPath;
    std::string policyPath;
    // Exists while a deployment is pending (pending_mark.h).
    std::string pendingMarkPath;
    // The kernel module's status file, which chooses the full deployment's call.
    std::string kernelPolicyStatusPath;
    std::string sceneName;
    const InterpreterTable *interpreter = nullptr;
    const PluginManagerLoader *pluginManager = nullptr;
    // The path of the calling process's executable ("" when unknown).
    std::string (*callerExecutable)() = nullptr;
};

// The fixed paths of the installed system, with the given interpreter.
RuleContext defaultRuleContext(const InterpreterTable &interpreter);

enum class RuleAction : uint8_t { Add, Remove };

// Old policy texts larger than this are not read: a full deployment
// replaces them.
inline constexpr size_t kMaxPolicyTextBytes = 64u * 1024 * 1024;

// The operation below its entry checks: under the document lock, load the
// document, change the list named by `listName` (a dotted variable name),
// and when it changed or a deployment is pending: mark the deployment
// pending, save the document, write the policy text, merge, deploy, clear
// the mark. Adding a listed path changes nothing; removing takes every copy
// of the path out, and removing an absent one is a not-found error that
// changes nothing.
Status changePathRule(const RuleContext &ctx, RuleAction action, std::string_view listName, std::string_view path);

// The list a mode selects: for file control 0, 1, 2 (else invalid
// argument); network control has one list and takes no mode.
using ListSelector = Result<const char *> (*)(uint32_t mode);

// The exported operation: the entry checks in order (caller -4, null path
// -1, path rules and list selection -1, add-on -14), then changePathRule. A
// failure prints its one line and gives its code; no exception leaves.
int32_t runPathRule(const RuleContext &ctx, RuleAction action, const char *path, ListSelector select, uint32_t mode,
                    const zorva_scene_addon_info *addon);

}  // namespace zorva::scene

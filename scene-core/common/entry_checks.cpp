#include "common/entry_checks.h"

#include "common/error.h"
#include "common/output.h"

namespace zorva::scene {

namespace {
constexpr int32_t kAddonKindCode = -14;
constexpr int32_t kMaxAddonKind = 2;
}  // namespace

bool isDaemonExecutable(std::string_view exe) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.ends_with(kDeleted))
        exe.remove_suffix(kDeleted.size());
    return exe == "/sbin/zorva-daemon" || exe == "/usr/sbin/zorva-daemon";
}

std::optional<int32_t> refuseCaller(std::string (*callerExecutable)()) {
    std::string exe = callerExecutable ? callerExecutable() : std::string();
    if (isDaemonExecutable(exe))
        return std::nullopt;
    printLine("permission denied: caller " + (exe.empty() ? std::string("(unknown)") : exe) +
              " is not the zorva daemon");
    return codeForKind(ErrorKind::PermissionDenied);
}

std::optional<int32_t> refuseAddon(const zorva_scene_addon_info *addon) {
    if (addon == nullptr) {
        printLine("invalid addon kind: addon info is null");
        return kAddonKindCode;
    }
    if (addon->kind < 0 || addon->kind > kMaxAddonKind) {
        printLine("invalid addon kind: " + std::to_string(addon->kind));
        return kAddonKindCode;
    }
    return std::nullopt;
}

}  // namespace zorva::scene

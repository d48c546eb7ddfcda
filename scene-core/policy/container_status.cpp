#include "policy/container_status.h"

#include <limits.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <new>
#include <optional>

#include "common/entry_checks.h"
#include "common/kernel_record.h"
#include "common/output.h"
#include "common/text.h"
#include "policy/document_file.h"
#include "policy/policy.h"

namespace zorva::scene {

namespace {

constexpr uint32_t kModuleCount = 3;
constexpr uint32_t kMaxModuleStatus = 3;

Error notFound(std::string_view id) {
    return Error(ErrorKind::NotFound, "container " + std::string(id) + " not found");
}

int32_t Container::*moduleField(uint32_t module) {
    switch (module) {
    case 0:
        return &Container::exectl;
    case 1:
        return &Container::netctl;
    default:
        return &Container::filectl;
    }
}

// Set status and set module status: lock the document, then the kernel
// table; load, change the entry in memory, check the id's length, build the
// record, save, write the kernel record, hand it to the store. The document
// lock comes first, as for every document change; the tool takes only the
// table's lock, so the two cannot wait for each other.
Status changeContainer(const StatusContext &ctx, std::string_view id,
                       const std::function<Result<Container>(Module &)> &change) {
    auto lock = DocumentLock::acquire(ctx.documentPath);
    if (!lock)
        return std::move(lock.error());
    auto tableLock = KernelTableLock::acquire(ctx.kernelTableLockPath);
    if (!tableLock)
        return std::move(tableLock.error());
    removeStaleTemporaryFiles(ctx.documentPath);
    // The bytes as read, to be put back should the kernel refuse the record.
    auto before = readDocumentBytes(ctx.documentPath);
    if (!before)
        return std::move(before.error());
    auto policy = parsePolicy(before.value());
    if (!policy)
        return std::move(policy.error());
    auto module = findModule(policy.value(), ctx.moduleName);
    if (!module)
        return std::move(module.error());
    auto entry = change(*module.value());
    if (!entry)
        return std::move(entry.error());
    const Container &c = entry.value();
    auto record = makeKernelRecord(id, c.status, c.exectl, c.netctl, c.filectl);
    if (!record)
        return std::move(record.error());
    if (auto saved = savePolicy(ctx.documentPath, policy.value()); !saved)
        return saved;
    if (auto written = writeKernelRecord(ctx.kernelStatusPath, record.value()); !written) {
        // The kernel holds the old state: so must the document, or a later
        // get would report a status that is not in force.
        if (auto restored = replaceFileAtomically(ctx.documentPath, before.value()); !restored)
            printLine("the previous document could not be put back: " + restored.error().chain());
        return written;
    }
    // From here the kernel holds the change, and the document keeps it.
    return addPolicyThroughStore(*ctx.store, record.value());
}

}  // namespace

std::string currentExecutable() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

StatusContext defaultStatusContext() {
    StatusContext ctx;
    ctx.documentPath = "/etc/zorva-scene/scene/zorva_container.json";
    ctx.policyPath = "/etc/zorva-scene/policy/zorva_container.policy";
    ctx.kernelStatusPath = "/sys/kernel/security/vrex/policy_docker/dockerstatus";
    ctx.kernelTableLockPath = vrex::record::kKernelTableLockPath;
    ctx.moduleName = kContainerModuleType;
    ctx.store = &systemStoreLoader();
    ctx.callerExecutable = &currentExecutable;
    return ctx;
}

namespace {

// The stored state of container `id`, read from the document without a lock;
// a failure is wrapped in the reading operation's context.
Result<Container> storedState(const StatusContext &ctx, std::string_view id, const char *failed) {
    auto policy = loadPolicy(ctx.documentPath);
    if (!policy)
        return std::move(policy.error()).context(failed);
    auto module = findModule(policy.value(), ctx.moduleName);
    if (!module)
        return std::move(module.error()).context(failed);
    auto state = readContainerState(*module.value(), id);
    if (!state)
        return std::move(state.error()).context(failed);
    return state;
}

}  // namespace

Result<int32_t> getContainerStatus(const StatusContext &ctx, std::string_view id) {
    constexpr const char *kFailed = "get container status failed";
    auto state = storedState(ctx, id, kFailed);
    if (!state)
        return std::move(state.error());
    int32_t status = state.value().status;
    if (!vrex::record::isGlobalSwitchValue(status)) {
        printLine("read container " + std::string(id) + " status invalid from json");
        return Error(ErrorKind::InvalidPolicy, kFailed);
    }
    return status;
}

Status setContainerStatus(const StatusContext &ctx, std::string_view id, int32_t status) {
    return changeContainer(ctx, id, [&](Module &module) -> Result<Container> {
        for (auto &var : module.variables) {
            if (var.name != id)
                continue;
            Container *c = var.value.containerValue();
            if (c == nullptr)
                return notFound(id);
            c->status = status;
            return *c;
        }
        int32_t on =
            status != vrex::record::kGlobalOff ? vrex::record::kControlEnabled : vrex::record::kControlDisabled;
        module.variables.push_back(Variable{std::string(id), VariableTypes::container({status, on, on, on})});
        const Container *added = module.variables.back().value.containerValue();
        if (added == nullptr)
            return Error(ErrorKind::AddNodeFailed, "add container node failed");
        return *added;
    });
}

Result<int32_t> getContainerModuleStatus(const StatusContext &ctx, std::string_view id, uint32_t module) {
    constexpr const char *kFailed = "failed to get container module status";
    if (module >= kModuleCount)
        return Error(ErrorKind::InvalidArgument, "module index out of range").context(kFailed);
    auto state = storedState(ctx, id, kFailed);
    if (!state)
        return std::move(state.error());
    int32_t value = state.value().*moduleField(module);
    if (value < 0 || static_cast<uint32_t>(value) > kMaxModuleStatus) {
        printLine("read container " + std::string(id) + " module " + std::to_string(module) +
                  " status invalid from json");
        return Error(ErrorKind::InvalidPolicy, kFailed);
    }
    return value;
}

Status setContainerModuleStatus(const StatusContext &ctx, std::string_view id, uint32_t module, uint32_t status) {
    if (module >= kModuleCount || status > kMaxModuleStatus)
        return Error(ErrorKind::InvalidArgument, "module or status out of range");
    return changeContainer(ctx, id, [&](Module &containerModule) -> Result<Container> {
        for (auto &var : containerModule.variables) {
            if (var.name != id)
                continue;
            Container *c = var.value.containerValue();
            if (c == nullptr)
                return notFound(id);
            c->*moduleField(module) = static_cast<int32_t>(status);
            return *c;
        }
        return notFound(id);
    });
}

namespace {

int32_t report(const Error &e) {
    printLine(e.chain());
    return e.code();
}

// Entry steps 1 to 3: the caller, a non-null non-empty id, valid UTF-8.
// On failure the line is printed and the code returned.
std::optional<int32_t> checkCallerAndId(const StatusContext &ctx, const char *id, std::string_view &idOut) {
    if (auto code = refuseCaller(ctx.callerExecutable))
        return code;
    if (id == nullptr)
        return report(Error(ErrorKind::InvalidArgument, "container id is null"));
    idOut = id;
    if (idOut.empty())
        return report(Error(ErrorKind::InvalidArgument, "container id is empty"));
    if (!isValidUtf8(idOut))
        return report(Error::foreign("invalid utf-8 sequence").context("container id is not valid UTF-8"));
    return std::nullopt;
}

// Nothing may escape an exported function: an exception becomes a line and a code.
template <typename F>
int32_t guarded(int32_t failureCode, F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        printLine("out of memory");
    } catch (const std::exception &e) {
        printLine(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        printLine("unexpected failure");
    }
    return failureCode;
}

}  // namespace

int32_t runGetStatus(const StatusContext &ctx, const char *id, const zorva_scene_addon_info *addon) {
    return guarded(-1, [&]() -> int32_t {
        std::string_view cid;
        // An id that is not UTF-8 gives 1 here as well: no container status is 1.
        if (auto code = checkCallerAndId(ctx, id, cid))
            return *code;
        if (auto code = refuseAddon(addon))
            return *code;
        auto status = getContainerStatus(ctx, cid);
        if (!status) {
            report(status.error());
            return -1;
        }
        return status.value();
    });
}

int32_t runSetStatus(const StatusContext &ctx, const char *id, int32_t status, const zorva_scene_addon_info *addon) {
    return guarded(1, [&]() -> int32_t {
        std::string_view cid;
        if (auto code = checkCallerAndId(ctx, id, cid))
            return *code;
        if (!vrex::record::isGlobalSwitchValue(status))
            return report(Error(ErrorKind::InvalidArgument, "invalid container status " + std::to_string(status)));
        if (auto code = refuseAddon(addon))
            return *code;
        auto done = setContainerStatus(ctx, cid, status);
        return done ? 0 : report(done.error());
    });
}

int32_t runGetModuleStatus(const StatusContext &ctx, const char *id, uint32_t module,
                           const zorva_scene_addon_info *addon) {
    return guarded(-1, [&]() -> int32_t {
        std::string_view cid;
        // 1 is a module status, so an id that is not UTF-8 gives -1 here.
        if (auto code = checkCallerAndId(ctx, id, cid))
            return *code == codeForKind(ErrorKind::PermissionDenied) ? *code : -1;
        if (module >= kModuleCount) {
            report(Error(ErrorKind::InvalidArgument, "invalid module " + std::to_string(module)));
            return -1;
        }
        if (auto code = refuseAddon(addon))
            return *code;
        auto value = getContainerModuleStatus(ctx, cid, module);
        if (!value) {
            report(value.error());
            return -1;
        }
        return value.value();
    });
}

int32_t runSetModuleStatus(const StatusContext &ctx, const char *id, uint32_t module, uint32_t status,
                           const zorva_scene_addon_info *addon) {
    return guarded(1, [&]() -> int32_t {
        std::string_view cid;
        if (auto code = checkCallerAndId(ctx, id, cid))
            return *code;
        printLine("Input module: " + std::to_string(module) + ", status: " + std::to_string(status));
        if (module >= kModuleCount || status > kMaxModuleStatus)
            return report(Error(ErrorKind::InvalidArgument,
                                "invalid module " + std::to_string(module) + " or status " + std::to_string(status)));
        if (auto code = refuseAddon(addon))
            return *code;
        auto done = setContainerModuleStatus(ctx, cid, module, status);
        return done ? 0 : report(done.error());
    });
}

}  // namespace zorva::scene

#include "common/pluginmgr_bridge.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "common/file_read.h"
#include "common/text.h"
#include "sysutil/io.h"
#include "sysutil/path.h"

#ifndef ZORVA_PLUGINMGR_DEFAULT_DIR
#error "ZORVA_PLUGINMGR_DEFAULT_DIR must name the installed library directory"
#endif

namespace zorva::scene {

namespace {

constexpr const char *kBridgeFailed = "dlopen_zorva2_scene_plugin_merge_policy failed";

Error bridgeError(const std::string &message) {
    return Error(ErrorKind::PluginManagerFailed, message).context(kBridgeFailed);
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The value of a selecting line, its quotes taken off.
Result<std::string> lineValue(std::string_view value) {
    value = trimBlanks(value);
    if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
        char quote = value.front();
        if (value.size() < 2 || value.back() != quote || value.substr(1, value.size() - 2).find(quote) != value.npos)
            return Error(ErrorKind::PluginManagerFailed, std::string(kProductInfoKey) + " has unbalanced quotes");
        value = value.substr(1, value.size() - 2);
    }
    if (value.empty())
        return Error(ErrorKind::PluginManagerFailed, std::string(kProductInfoKey) + " is empty");
    if (value.find('\0') != value.npos)
        return Error(ErrorKind::PluginManagerFailed, std::string(kProductInfoKey) + " holds a NUL byte");
    if (value.front() != '/')
        return Error(ErrorKind::PluginManagerFailed,
                     "plugin manager directory \"" + escaped(value) + "\" refused: not absolute");
    return std::string(value);
}

// Owned by root, and not writable by group or others (unless `stickyIsEnough`
// and the sticky bit keeps others from replacing what root put there).
std::optional<std::string> untrustedBecause(const struct stat &st, bool stickyIsEnough) {
    if (st.st_uid != 0)
        return "owned by uid " + std::to_string(st.st_uid) + ", not by root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(stickyIsEnough && (st.st_mode & S_ISVTX) != 0))
        return std::string("writable by group or others");
    return std::nullopt;
}

Error refusedDirectory(const std::string &dir, const std::string &why) {
    return Error(ErrorKind::PluginManagerFailed, "plugin manager directory \"" + escaped(dir) + "\" refused: " + why);
}

Result<std::string> resolved(const std::string &path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr)
        return Error(ErrorKind::PluginManagerFailed, vrex::sys::errorText(errno));
    return std::string(buf);
}

// The checks of a directory given without symbolic links.
Status checkResolvedDirectory(const std::string &shown, const std::string &dir) {
    // Every directory above it, from the root down, then itself.
    for (size_t slash = 0; slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        std::string step = slash == 0 ? std::string("/") : dir.substr(0, slash);
        struct stat st {};
        if (::lstat(step.c_str(), &st) != 0)
            return refusedDirectory(shown, step + ": " + vrex::sys::errorText(errno));
        if (auto why = untrustedBecause(st, true))
            return refusedDirectory(shown, step + " is " + *why);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return refusedDirectory(shown, vrex::sys::errorText(errno));
    if (!S_ISDIR(st.st_mode))
        return refusedDirectory(shown, "not a directory");
    if (auto why = untrustedBecause(st, false))
        return refusedDirectory(shown, *why);
    return {};
}

}  // namespace

const PluginManagerLoader &systemPluginManagerLoader() {
    static const PluginManagerLoader loader{
        "/etc/.productinfo",
        ZORVA_PLUGINMGR_DEFAULT_DIR,
        [](const char *path, int flags) { return ::dlopen(path, flags); },
        [](void *handle, const char *name) { return ::dlsym(handle, name); },
        [](void *handle) { return ::dlclose(handle); },
        []() -> const char * { return ::dlerror(); },
    };
    return loader;
}

Result<std::optional<std::string>> selectedPluginManagerDirectory(std::string_view productInfo) {
    std::optional<std::string> selected;
    const std::string_view key = kProductInfoKey;
    while (!productInfo.empty()) {
        size_t nl = productInfo.find('\n');
        std::string_view line = productInfo.substr(0, nl);
        productInfo.remove_prefix(nl == productInfo.npos ? productInfo.size() : nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t eq = line.find('=');
        if (eq == line.npos || trimBlanks(line.substr(0, eq)) != key)
            continue;
        auto value = lineValue(line.substr(eq + 1));
        if (!value)
            return std::move(value.error());
        if (selected && *selected != value.value())
            return Error(ErrorKind::PluginManagerFailed,
                         std::string(kProductInfoKey) + " is set twice, to different directories");
        selected = std::move(value.value());
    }
    return selected;
}

Result<std::string> checkTrustedDirectory(const std::string &dir) {
    if (dir.empty() || dir.front() != '/')
        return refusedDirectory(dir, "not absolute");
    auto real = resolved(dir);
    if (!real)
        return refusedDirectory(dir, real.error().chain());
    if (auto checked = checkResolvedDirectory(dir, real.value()); !checked)
        return std::move(checked.error());
    return real;
}

Result<std::string> checkTrustedLibrary(const std::string &file) {
    auto real = resolved(file);
    if (!real)
        return Error(ErrorKind::PluginManagerFailed, file + ": " + real.error().chain());
    // The file may be a link into another directory: that one must be
    // trusted as well.
    const std::string dir = vrex::sys::directoryOf(real.value());
    if (auto checked = checkResolvedDirectory(dir, dir); !checked)
        return std::move(checked.error());
    struct stat st {};
    if (::lstat(real.value().c_str(), &st) != 0)
        return Error(ErrorKind::PluginManagerFailed, real.value() + ": " + vrex::sys::errorText(errno));
    const std::string refused = "plugin manager library " + real.value() + " refused: ";
    if (!S_ISREG(st.st_mode))
        return Error(ErrorKind::PluginManagerFailed, refused + "not a regular file");
    if (auto why = untrustedBecause(st, false))
        return Error(ErrorKind::PluginManagerFailed, refused + *why);
    return real;
}

Result<std::string> pluginManagerLibraryPath(const PluginManagerLoader &loader) {
    auto info = readRegularFileIfPresent(loader.productInfoPath, kMaxProductInfoBytes);
    if (!info)
        return bridgeError(info.error().chain());
    std::optional<std::string> selected;
    if (info.value().present) {
        auto chosen = selectedPluginManagerDirectory(info.value().bytes);
        if (!chosen)
            return bridgeError(chosen.error().chain());
        selected = std::move(chosen.value());
    }
    if (!selected)
        return loader.defaultDirectory + "/" + kPluginManagerLibrary;
    auto dir = checkTrustedDirectory(*selected);
    if (!dir)
        return bridgeError(dir.error().chain());
    auto file = checkTrustedLibrary(dir.value() + "/" + kPluginManagerLibrary);
    if (!file)
        return bridgeError(file.error().chain());
    return file;
}

Status mergeWithTable(const PluginManagerTable &table, const std::string &scene, const std::string &policyPath) {
    if (table.merge_policy == nullptr)
        return bridgeError(std::string(kPluginManagerMerge) + " is missing");
    int ret = table.merge_policy(scene.c_str(), policyPath.c_str());
    if (ret != 0)
        return Error(ErrorKind::PluginManagerFailed,
                     std::string(kPluginManagerMerge) + " failed, ret=" + std::to_string(ret));
    return {};
}

Status mergeThroughPluginManager(const PluginManagerLoader &loader, const std::string &scene,
                                 const std::string &policyPath) {
    auto path = pluginManagerLibraryPath(loader);
    if (!path)
        return std::move(path.error());
    loader.lastError();  // clear a stale message
    void *handle = loader.open(path.value().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *text = loader.lastError();
        return bridgeError(text ? text : "cannot load " + path.value());
    }
    auto closer = [&loader](void *h) { loader.close(h); };
    std::unique_ptr<void, decltype(closer)> library(handle, closer);
    loader.lastError();
    void *merge = loader.symbol(handle, kPluginManagerMerge);
    if (merge == nullptr) {
        const char *text = loader.lastError();
        return bridgeError(text ? text : std::string(kPluginManagerMerge) + " not found");
    }
    PluginManagerTable table{reinterpret_cast<int (*)(const char *, const char *)>(merge)};
    return mergeWithTable(table, scene, policyPath);
}

}  // namespace zorva::scene

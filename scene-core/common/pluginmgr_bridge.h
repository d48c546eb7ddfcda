// The bridge to the scene plugin manager's library, loaded at run time for
// its merge function: after each rule change the policy text is handed to
// zorva2_scene_plugin_merge_policy("zorva_container", <policy file path>).
//
// Where the library is loaded from: the library directory the core library
// is installed in, unless the product information file "/etc/.productinfo"
// selects another with one line
//
//     SCENE_PLUGINMGR_LIBDIR=/absolute/directory
//
// Blanks around the key and the value are ignored, the value may be enclosed
// in double or single quotes, a line ending in "\r\n" counts as ending in
// "\n", and every other line (comments, other keys) is ignored. Refused,
// with a clear line and nothing loaded: a value that is empty or not
// absolute, two selecting lines with different values, and a selected
// directory that is not owned by root or is writable by group or others, or
// that lies below a directory that is not owned by root or is writable by
// group or others without the sticky bit; likewise the library file itself
// (after symbolic links are followed) must be a regular file owned by root
// and not writable by group or others. A root process must not load code
// that an unprivileged user can replace.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace zorva::scene {

inline constexpr const char *kPluginManagerLibrary = "libzorva_scene_pluginmgr.so.0";
inline constexpr const char *kPluginManagerMerge = "zorva2_scene_plugin_merge_policy";
inline constexpr const char *kProductInfoKey = "SCENE_PLUGINMGR_LIBDIR";
// Product information files larger than this are refused.
inline constexpr size_t kMaxProductInfoBytes = 64 * 1024;

// Where the library is looked for and how it is opened: the dynamic
// loader's functions by default; tests put fakes in their place.
struct PluginManagerLoader {
    std::string productInfoPath;
    std::string defaultDirectory;
    void *(*open)(const char *path, int flags);
    void *(*symbol)(void *handle, const char *name);
    int (*close)(void *handle);
    const char *(*lastError)();
};

// "/etc/.productinfo", the installed library directory, and dlopen, dlsym,
// dlclose and dlerror.
const PluginManagerLoader &systemPluginManagerLoader();

// The directory that the product information text selects: none when no
// line selects one, else the value (checked only for being absolute here).
Result<std::optional<std::string>> selectedPluginManagerDirectory(std::string_view productInfo);

// The directory or library file with its links resolved, when it, every
// directory above it and (for the file) the directory it lies in are as
// the rule above demands; else the refusal.
Result<std::string> checkTrustedDirectory(const std::string &dir);
Result<std::string> checkTrustedLibrary(const std::string &file);

// The full path of the library to load (links resolved for a selected one).
Result<std::string> pluginManagerLibraryPath(const PluginManagerLoader &loader);

// The functions this library calls.
struct PluginManagerTable {
    int (*merge_policy)(const char *scene, const char *policy_path);
};

// Calls the merge function; a non-zero result fails with
// "zorva2_scene_plugin_merge_policy failed, ret=<n>".
Status mergeWithTable(const PluginManagerTable &table, const std::string &scene, const std::string &policyPath);

// Finds and loads the library through `loader`, fills the table, calls
// mergeWithTable and unloads the library. A refused directory, an unreadable
// product information file, a failed load or lookup are reported under
// "dlopen_zorva2_scene_plugin_merge_policy failed". Every failure is of the
// plugin manager failure kind.
Status mergeThroughPluginManager(const PluginManagerLoader &loader, const std::string &scene,
                                 const std::string &policyPath);

}  // namespace zorva::scene

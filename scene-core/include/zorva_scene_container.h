/* libzorva_scene_container: protection status of containers and of their
 * three controls (0 exec control, 1 network control, 2 file control), and the
 * container's file-control and network-control rules, all kept in the scene
 * policy document "/etc/zorva-scene/scene/zorva_container.json".
 *
 * Every function may be called only by the zorva daemon ("/sbin/zorva-daemon"
 * or "/usr/sbin/zorva-daemon"); any other caller gets -4. Strings stay owned
 * by the caller. A failure prints one diagnostic line on standard output.
 *
 * Status operations. A change is saved to the document, pushed to the kernel
 * as one 69-byte record and mirrored into the container policy store: after
 * the document and the kernel record are written, the record is handed to
 * the store library (libvault_store.so, loaded at run time) and its result is
 * printed as "vault_store_add_policy ret: <n>". A non-zero result from the
 * store does not fail the operation: the change is already in force, and the
 * store refuses ids that are not 64 hexadecimal characters. A store library
 * that cannot be loaded does fail it (code 1).
 *
 * Rule operations. Each adds a path to or removes it from one list of the
 * document: file control mode 0 "container.filectl.filectl_list" (no access),
 * 1 "container.filectl.filectl_write_list" (no write), 2
 * "container.filectl.filectl_unlink_list" (no unlink); network control
 * "container.netctl.netctl_list" (no network for these programs). A path
 * must be absolute and normalised (no ".", ".." or empty component, no
 * trailing "/" but the root itself), valid UTF-8 without control characters,
 * and at most 4095 bytes. Lists keep the order of adding; adding a listed
 * path changes nothing and gives 0. Under the document lock, a change saves
 * the document, writes the policy text "/etc/zorva-scene/policy/
 * zorva_container.policy", hands it to the plugin manager's
 * zorva2_scene_plugin_merge_policy("zorva_container", <that path>) and
 * deploys it through the policy interpreter: the whole policy (one
 * compileInitPolicy, or deployPolicy when "/sys/kernel/security/vrex/status"
 * holds a non-zero integer) when there was no policy text of ours before or a
 * deployment is pending; otherwise compileSectionPolicy for each changed
 * section and one sendPolicy, and modifyDynamicVariable for each changed list
 * of a module whose enable_dyn_changed is set. A deployment that fails after
 * the document was saved stays pending (the mark
 * "/etc/zorva-scene/policy/zorva_container.policy.pending" survives a crash
 * too), and the next rule operation, even one that changes nothing, deploys
 * the whole current state.
 *
 * The plugin manager library libzorva_scene_pluginmgr.so.0 is loaded from the
 * library directory this library is installed in, unless "/etc/.productinfo"
 * holds a line "SCENE_PLUGINMGR_LIBDIR=<absolute directory>" (blanks around
 * key and value ignored, the value may be in double or single quotes, other
 * lines ignored). A selected directory is refused, and nothing loaded, when
 * it is not absolute, not owned by root, or writable by group or others, when
 * a directory above it is not owned by root or is writable by group or
 * others without the sticky bit, when the library file (links followed) is
 * not a regular file owned by root and closed to writes by group and others,
 * or when two such lines name different directories.
 *
 * Result codes:
 *    0  success
 *    1  an operating-system, file or parse error: unreadable, malformed or
 *       oversized (over 32 MiB) document, failed save, kernel status file,
 *       store library not loadable
 *   -1  invalid argument: null or empty id, id longer than 64 bytes, value
 *       out of range, null or ill-formed path, file-control mode above 2
 *   -3  container not found; path to remove not in its list; the list
 *       variable not in the document ("when updating str list data")
 *   -4  caller not permitted
 *   -5  the policy text cannot be generated from the document (a module
 *       type that is not a name of [A-Za-z0-9_-], two modules of one name)
 *   -6  the policy file or the pending-deployment mark could not be written
 *   -8  container entry could not be added
 *  -10  deployPolicy failed ("deploy policy ret:<n>")
 *  -13  compileInitPolicy failed ("init policy compile policy failed ret:<n>")
 *  -14  add-on kind out of range (a null add-on counts as such)
 *  -15  sendPolicy failed ("failed to send compiled section policy, ret=<n>")
 *  -16  modifyDynamicVariable failed ("failed to modify dynamic variable
 *       <name>, ret=<n>")
 *  -17  compileSectionPolicy failed ("failed to compile section policy:
 *       <section>, ret=<n>")
 * -100  scene document without the container module, or whose entry holds
 *       values that do not fit the kernel record; a list variable that is not
 *       a string list; the plugin manager library refused, not loadable, its
 *       merge function missing or failing
 * An id that is not valid UTF-8 gives 1, except in
 * zorva_scene_container_get_module_status, where 1 is a status: there -1. */
#ifndef ZORVA_SCENE_CONTAINER_H
#define ZORVA_SCENE_CONTAINER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZORVA_SCENE_API __attribute__((visibility("default")))
#else
#define ZORVA_SCENE_API
#endif

typedef struct zorva_scene_addon_info {
    const char *name; /* the caller's scene or add-on name */
    int32_t kind;     /* add-on kind, 0..2 */
} zorva_scene_addon_info;

/* The container status: 0 off, 2 on, 4 soft mode; or a code: -4 and -14 from
 * the entry checks, 1 for an id that is not UTF-8, -1 on any other failure. */
ZORVA_SCENE_API int32_t zorva_scene_container_get_status(const char *container_id, const zorva_scene_addon_info *addon);

/* Sets the container status (0, 2 or 4). An id not yet in the document gets
 * a new entry whose three controls are 1 when the status is non-zero, else 0. */
ZORVA_SCENE_API int32_t zorva_scene_container_set_status(const char *container_id, int32_t status,
                                                         const zorva_scene_addon_info *addon);

/* The status (0..3) of control `module` (0..2) of a stored container, or -1
 * on any failure after the caller and add-on checks. */
ZORVA_SCENE_API int32_t zorva_scene_container_get_module_status(const char *container_id, uint32_t module,
                                                                const zorva_scene_addon_info *addon);

/* Sets the status (0..3) of control `module` (0..2) of a stored container;
 * an id not in the document gives -3 and adds nothing. */
ZORVA_SCENE_API int32_t zorva_scene_container_set_module_status(const char *container_id, uint32_t module,
                                                                uint32_t status, const zorva_scene_addon_info *addon);

/* Adds `path` to the file-control list chosen by `mode` (0 access, 1 write,
 * 2 unlink); 0 also when it is listed already. */
ZORVA_SCENE_API int32_t zorva_scene_add_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                                         const zorva_scene_addon_info *addon);

/* Removes `path` (every copy of it) from the file-control list chosen by
 * `mode` (0 access, 1 write, 2 unlink); -3 when it is not listed. */
ZORVA_SCENE_API int32_t zorva_scene_remove_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                                            const zorva_scene_addon_info *addon);

/* Adds the program `path` to the network-control list; 0 also when it is
 * listed already. */
ZORVA_SCENE_API int32_t zorva_scene_add_container_policy_by_path_netctl(const char *path,
                                                                        const zorva_scene_addon_info *addon);

/* Removes the program `path` from the network-control list; -3 when it is
 * not listed. */
ZORVA_SCENE_API int32_t zorva_scene_remove_container_policy_by_path_netctl(const char *path,
                                                                           const zorva_scene_addon_info *addon);

#ifdef __cplusplus
}
#endif

#endif

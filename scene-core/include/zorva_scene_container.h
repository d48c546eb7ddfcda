/* libzorva_scene_container: protection status of containers and of their
 * three controls (0 exec control, 1 network control, 2 file control), kept in
 * the scene policy document "/etc/zorva-scene/scene/zorva_container.json",
 * pushed to the kernel as one 69-byte record and mirrored into the container
 * policy store.
 *
 * Every function may be called only by the zorva daemon ("/sbin/zorva-daemon"
 * or "/usr/sbin/zorva-daemon"); any other caller gets -4. Strings stay owned
 * by the caller. A failure prints one diagnostic line on standard output.
 *
 * Result codes: 0 success; -1 invalid argument (null or empty id, id longer
 * than 64 bytes, value out of range); -3 container not found; -4 caller not
 * permitted; -8 container entry could not be added; -14 add-on kind out of
 * range (a null add-on counts as such); -100 scene document without the
 * container module, or whose entry holds values that do not fit the kernel
 * record; 1 an operating-system, file or parse error (unreadable
 * or malformed document, kernel status file, store library not loadable).
 * An id that is not valid UTF-8 gives 1, except in
 * zorva_scene_container_get_module_status, where 1 is a status: there -1.
 *
 * After the document and the kernel record are written, the record is handed
 * to the store library (libvault_store.so, loaded at run time) and its result
 * is printed as "vault_store_add_policy ret: <n>". A non-zero result from the
 * store does not fail the operation: the change is already in force, and the
 * store refuses ids that are not 64 hexadecimal characters. A store library
 * that cannot be loaded does fail it (code 1). */
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

/* Adds `path` to the file-control list chosen by `mode` (0 access, 1 write, 2 unlink). */
ZORVA_SCENE_API int32_t zorva_scene_add_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                                         const zorva_scene_addon_info *addon);

/* Removes `path` from the file-control list chosen by `mode` (0 access, 1 write, 2 unlink). */
ZORVA_SCENE_API int32_t zorva_scene_remove_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                                            const zorva_scene_addon_info *addon);

/* Adds `path` to the network-control list. */
ZORVA_SCENE_API int32_t zorva_scene_add_container_policy_by_path_netctl(const char *path,
                                                                        const zorva_scene_addon_info *addon);

/* Removes `path` from the network-control list. */
ZORVA_SCENE_API int32_t zorva_scene_remove_container_policy_by_path_netctl(const char *path,
                                                                           const zorva_scene_addon_info *addon);

#ifdef __cplusplus
}
#endif

#endif

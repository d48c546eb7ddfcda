/* libzorva_scene_container_plugin: the container module's entry points for
 * the scene plugin manager. Each takes a request dictionary of type "a{sv}",
 * decodes it, calls the core library (libzorva_scene_container.so.0) and
 * answers with a response dictionary.
 *
 * The request is borrowed: the plug-in never releases or sinks it. The
 * response is a new, non-floating "a{sv}" reference, never null, that the
 * caller releases with g_variant_unref. Keys of the response, in order:
 *   "code"     "i"  0 on success, else the failure code
 *   "message"  "s"  "success", or a message for the code
 *   "data"     "i"  get calls only, on success: the status read
 * Responses can be read with decode_plugin_response
 * (zorva_scene_container_plugin_response.h).
 *
 * Request keys. The id and path are "s"; integers are "i" or "u" and must fit
 * the core argument they feed (module, mode and module status are never
 * negative; a status is at most 2147483647). Values must be in normal form,
 * and each key must appear at most once. Ids longer than 64 bytes and paths
 * longer than 4095 bytes are refused, never shortened.
 *   get_status              "param1" id
 *   set_status              "param1" id, "param2" status
 *   get_module_status       "param1" id, "param2" module
 *   set_module_status       "param1" id, "param2" module, "param3" status
 *   filectl add/remove      "param1" path, "param2" mode
 *   netctl add/remove       "param1" path
 * and, optional in every request, the caller's add-on information:
 *   "scene"         "s"  add-on name (default "zorva_container")
 *   "sync"          "b"  true: add-on kind 1
 *   "scene_switch"  "b"  true: add-on kind 2 (wins over "sync"); else kind 0
 *
 * A request that cannot be decoded is answered with code -1 and nothing is
 * called: "invalid data format" (null, or not "a{sv}"), "invalid containerid
 * data parameter", "invalid status data parameter", "invalid module data
 * parameter", or "invalid data parameter" (path, mode or an add-on key).
 * Otherwise the core library's result is the code: 0 "success"; -1 to -17 a
 * message describing the core library's failure (-3 not found, -4 caller
 * not permitted, -14 invalid add-on kind, ...); any other code "unknow error".
 * A get call's status (0 or more) is answered with code 0 and the status as
 * "data". */
#ifndef ZORVA_SCENE_CONTAINER_PLUGIN_H
#define ZORVA_SCENE_CONTAINER_PLUGIN_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZORVA_SCENE_PLUGIN_API __attribute__((visibility("default")))
#else
#define ZORVA_SCENE_PLUGIN_API
#endif

/* The form shared by every entry point. */
typedef GVariant *(*zorva_scene_plugin_entry)(GVariant *request);

/* Reads the container status (0 off, 2 on, 4 soft mode) into "data". */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_container_get_status(GVariant *request);

/* Sets the container status (0, 2 or 4). */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_container_set_status(GVariant *request);

/* Reads the status (0..3) of control "param2" (0 exec, 1 network, 2 file) into "data". */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_container_get_module_status(GVariant *request);

/* Sets the status (0..3) of control "param2" (0 exec, 1 network, 2 file). */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_container_set_module_status(GVariant *request);

/* Adds the path to the file-control list of mode "param2" (0 access, 1 write, 2 unlink). */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_filectl_add_container_policy_by_path(GVariant *request);

/* Removes the path from the file-control list of mode "param2". */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_filectl_remove_container_policy_by_path(GVariant *request);

/* Adds the path to the network-control list. */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_netctl_add_container_policy_by_path(GVariant *request);

/* Removes the path from the network-control list. */
ZORVA_SCENE_PLUGIN_API GVariant *zorva_scene_plugin_netctl_remove_container_policy_by_path(GVariant *request);

#ifdef __cplusplus
}
#endif

#endif

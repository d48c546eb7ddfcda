// Response dictionaries of the container plug-in, for C++ callers: building
// them (every entry point answers through these) and reading them back (the
// plugin manager's side). A response is an "a{sv}" dictionary with, in this
// order, "code" ("i", always), "message" ("s", when a message is given) and
// "data" (in the forms that carry data).
//
// The overloads cannot have C linkage, so these are C++ exports. None throws.
#ifndef ZORVA_SCENE_CONTAINER_PLUGIN_RESPONSE_H
#define ZORVA_SCENE_CONTAINER_PLUGIN_RESPONSE_H

#include <glib.h>

#include <cstdint>

#if defined(__GNUC__)
#define ZORVA_SCENE_PLUGIN_RESPONSE_API __attribute__((visibility("default")))
#else
#define ZORVA_SCENE_PLUGIN_RESPONSE_API
#endif

// A decoded response, allocated with the C allocator; release it with
// free_plugin_response.
struct PluginResponse {
    int32_t code;    // the "code" entry
    char *message;   // copy of the "message" entry, or null when absent
    GVariant *data;  // the unboxed "data" entry (owned reference), or null
};

// Every encoder returns a new, non-floating reference that the caller
// releases with g_variant_unref; never null. A null message adds no
// "message" entry; a message that is not valid UTF-8 is kept with each bad
// byte sequence replaced by U+FFFD.

// {"code", "message"}
ZORVA_SCENE_PLUGIN_RESPONSE_API GVariant *encode_plugin_response(int32_t code, const char *message) noexcept;

// {"code", "message", "data" as "v"}; no "data" entry when `data` is null.
// A floating `data` is consumed; a non-floating one gains a reference and
// stays the caller's.
ZORVA_SCENE_PLUGIN_RESPONSE_API GVariant *encode_plugin_response(int32_t code, const char *message,
                                                                 GVariant *data) noexcept;

// {"code", "message", "data" as "i"}
ZORVA_SCENE_PLUGIN_RESPONSE_API GVariant *encode_plugin_response(int32_t code, const char *message, int data) noexcept;

// {"code", "message", "data" as "as"}: `count` strings, or up to the first
// null when `count` is -1. Null `strings` give an empty array; a null
// element within `count` is stored as ""; a count below -1 adds no "data".
ZORVA_SCENE_PLUGIN_RESPONSE_API GVariant *encode_plugin_response(int32_t code, const char *message,
                                                                 const char *const *strings, int count) noexcept;

// As the first form, except that code 0 with a null message gets the
// message "success".
ZORVA_SCENE_PLUGIN_RESPONSE_API GVariant *encode_plugin_response_for_code(int32_t code, const char *message) noexcept;

// Reads a response (borrowed: its references are unchanged). Null when the
// value is null, not an "a{sv}" dictionary, or has no "code" entry of type
// "i". "data" is read only as a boxed value ("v"): data of another form
// (as the "i" and "as" forms write it) decodes as null.
ZORVA_SCENE_PLUGIN_RESPONSE_API PluginResponse *decode_plugin_response(GVariant *response) noexcept;

// Frees the message, releases the data and frees the record; null is ignored.
ZORVA_SCENE_PLUGIN_RESPONSE_API void free_plugin_response(PluginResponse *response) noexcept;

#endif

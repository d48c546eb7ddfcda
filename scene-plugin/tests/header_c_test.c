/* The plug-in's public header used from strict C: compiles with -std=c11
 * -pedantic -Werror, and every entry point answers a null request with a
 * non-floating "a{sv}" response. */
#include <stdio.h>

#include "zorva_scene_container_plugin.h"

int main(void) {
    static const zorva_scene_plugin_entry entries[] = {
        zorva_scene_plugin_container_get_status,
        zorva_scene_plugin_container_set_status,
        zorva_scene_plugin_container_get_module_status,
        zorva_scene_plugin_container_set_module_status,
        zorva_scene_plugin_filectl_add_container_policy_by_path,
        zorva_scene_plugin_filectl_remove_container_policy_by_path,
        zorva_scene_plugin_netctl_add_container_policy_by_path,
        zorva_scene_plugin_netctl_remove_container_policy_by_path,
    };
    size_t i;
    int failures = 0;

    for (i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        GVariant *response = entries[i](NULL);
        gint32 code = 0;
        const char *message = NULL;
        if (response == NULL || g_variant_is_floating(response) ||
            !g_variant_is_of_type(response, G_VARIANT_TYPE_VARDICT) ||
            !g_variant_lookup(response, "code", "i", &code) || !g_variant_lookup(response, "message", "&s", &message) ||
            code != -1 || g_strcmp0(message, "invalid data format") != 0) {
            fprintf(stderr, "entry point %u: unexpected response\n", (unsigned)i);
            ++failures;
        }
        if (response != NULL)
            g_variant_unref(response);
    }
    return failures == 0 ? 0 : 1;
}

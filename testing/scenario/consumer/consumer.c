/* Links both installed libraries and calls each once: the store's fixed path,
 * and the core library's caller check, which refuses this program (it is not
 * the framework's daemon) with -4. */
#include <stdio.h>
#include <string.h>

#include <vault_store.h>
#include <zorva_scene_container.h>

int main(void) {
    const char *path = vault_store_get_default_path();
    zorva_scene_addon_info addon;
    memset(&addon, 0, sizeof addon);
    int32_t rc = zorva_scene_container_get_status("consumer", &addon);
    printf("%s %d\n", path, (int)rc);
    return path != NULL && strcmp(path, "/etc/vrex/container/container.xml") == 0 && rc == -4 ? 0 : 1;
}

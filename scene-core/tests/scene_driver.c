/* Test and demonstration driver for the core library's exports. Copied to
 * /usr/sbin/zorva-daemon inside the test sandbox so that the caller check
 * accepts it. Built as strict C, which also checks that the public header is
 * valid C.
 *
 *   zorva-scene-driver [--null-addon] [--kind N] get ID
 *   zorva-scene-driver ... set ID STATUS
 *   zorva-scene-driver ... get-module ID MODULE
 *   zorva-scene-driver ... set-module ID MODULE STATUS
 *   zorva-scene-driver ... add-file PATH MODE
 *   zorva-scene-driver ... remove-file PATH MODE
 *   zorva-scene-driver ... add-net PATH
 *   zorva-scene-driver ... remove-net PATH
 *
 * ID or PATH "-" passes a null pointer. Prints "result: <code>" after the
 * call. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zorva_scene_container.h"

static int usage(void) {
    fprintf(stderr, "usage: zorva-scene-driver [--null-addon] [--kind N] "
                    "get|set|get-module|set-module|add-file|remove-file|add-net|remove-net ID|PATH [ARGS]\n");
    return 2;
}

int main(int argc, char **argv) {
    zorva_scene_addon_info info;
    const zorva_scene_addon_info *addon = &info;
    const char *id;
    const char *op;
    int32_t result;
    int i = 1;

    info.name = "zorva_container";
    info.kind = 0;
    while (i < argc && strncmp(argv[i], "--", 2) == 0) {
        if (strcmp(argv[i], "--null-addon") == 0) {
            addon = NULL;
            i += 1;
        } else if (strcmp(argv[i], "--kind") == 0 && i + 1 < argc) {
            info.kind = (int32_t)strtol(argv[i + 1], NULL, 10);
            i += 2;
        } else {
            return usage();
        }
    }
    if (argc - i < 2)
        return usage();
    op = argv[i];
    id = strcmp(argv[i + 1], "-") == 0 ? NULL : argv[i + 1];
    if (strcmp(op, "get") == 0 && argc - i == 2) {
        result = zorva_scene_container_get_status(id, addon);
    } else if (strcmp(op, "set") == 0 && argc - i == 3) {
        result = zorva_scene_container_set_status(id, (int32_t)strtol(argv[i + 2], NULL, 10), addon);
    } else if (strcmp(op, "get-module") == 0 && argc - i == 3) {
        result = zorva_scene_container_get_module_status(id, (uint32_t)strtoul(argv[i + 2], NULL, 10), addon);
    } else if (strcmp(op, "set-module") == 0 && argc - i == 4) {
        result = zorva_scene_container_set_module_status(id, (uint32_t)strtoul(argv[i + 2], NULL, 10),
                                                         (uint32_t)strtoul(argv[i + 3], NULL, 10), addon);
    } else if (strcmp(op, "add-file") == 0 && argc - i == 3) {
        result = zorva_scene_add_container_policy_by_path_filectl(id, (uint32_t)strtoul(argv[i + 2], NULL, 10), addon);
    } else if (strcmp(op, "remove-file") == 0 && argc - i == 3) {
        result =
            zorva_scene_remove_container_policy_by_path_filectl(id, (uint32_t)strtoul(argv[i + 2], NULL, 10), addon);
    } else if (strcmp(op, "add-net") == 0 && argc - i == 2) {
        result = zorva_scene_add_container_policy_by_path_netctl(id, addon);
    } else if (strcmp(op, "remove-net") == 0 && argc - i == 2) {
        result = zorva_scene_remove_container_policy_by_path_netctl(id, addon);
    } else {
        return usage();
    }
    printf("result: %d\n", (int)result);
    return 0;
}

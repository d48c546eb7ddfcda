/* Test and demonstration driver for the core library's exports. Copied to
 * /usr/sbin/zorva-daemon inside the test sandbox so that the caller check
 * accepts it. Built as strict C, which also checks that the public header is
 * valid C.
 *
 *   zorva-scene-driver [--null-addon] [--kind N] [--upgraded] get ID
 *   zorva-scene-driver ... set ID STATUS
 *   zorva-scene-driver ... get-module ID MODULE
 *   zorva-scene-driver ... set-module ID MODULE STATUS
 *   zorva-scene-driver ... add-file PATH MODE
 *   zorva-scene-driver ... remove-file PATH MODE
 *   zorva-scene-driver ... add-net PATH
 *   zorva-scene-driver ... remove-net PATH
 *
 * ID or PATH "-" passes a null pointer. Prints "result: <code>" after the
 * call.
 * --upgraded first replaces the driver's own executable file by a copy, as a
 * package upgrade replaces a running daemon's, so that the call is made from
 * a process whose executable file is gone. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zorva_scene_container.h"

static int usage(void) {
    fprintf(stderr, "usage: zorva-scene-driver [--null-addon] [--kind N] [--upgraded] "
                    "get|set|get-module|set-module|add-file|remove-file|add-net|remove-net ID|PATH [ARGS]\n");
    return 2;
}

/* Copies the running executable to a new file and renames it over the old
 * one's path. 0 on success. */
static int replace_own_executable(void) {
    char path[4096], tmp[4200], buf[65536];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    int in, out, rc = 0;
    if (n <= 0)
        return -1;
    path[n] = '\0';
    snprintf(tmp, sizeof tmp, "%s.dpkg-new", path);
    in = open(path, O_RDONLY);
    out = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (in < 0 || out < 0)
        rc = -1;
    while (rc == 0 && (n = read(in, buf, sizeof buf)) > 0)
        if (write(out, buf, (size_t)n) != n)
            rc = -1;
    if (in >= 0)
        close(in);
    if (out >= 0 && close(out) != 0)
        rc = -1;
    if (rc == 0 && (n < 0 || rename(tmp, path) != 0))
        rc = -1;
    return rc;
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
        } else if (strcmp(argv[i], "--upgraded") == 0) {
            if (replace_own_executable() != 0) {
                perror("replace own executable");
                return 2;
            }
            i += 1;
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

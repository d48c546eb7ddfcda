/* Stand-in for the scene plugin manager's library libzorva_scene_pluginmgr.so.0
 * in tests.
 *
 * zorva2_scene_plugin_merge_policy appends one line to the file named by
 * VREX_TEST_PLUGINMGR_LOG (when set): its name, the scene, the policy path
 * and the size of the file at that path in bytes ("missing" when there is
 * none), separated by blanks. It returns the integer in
 * VREX_TEST_PLUGINMGR_FAIL when that is set and not empty, else 0. With
 * VREX_TEST_PLUGINMGR_KILL=1 the calling process is killed with SIGKILL
 * right after the line is written, as a crash between the saved document and
 * the deployment would end it. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

__attribute__((visibility("default"))) int zorva2_scene_plugin_merge_policy(const char *scene, const char *policy_path);

int zorva2_scene_plugin_merge_policy(const char *scene, const char *policy_path) {
    const char *log = getenv("VREX_TEST_PLUGINMGR_LOG");
    const char *fail = getenv("VREX_TEST_PLUGINMGR_FAIL");
    const char *kill = getenv("VREX_TEST_PLUGINMGR_KILL");
    if (log != NULL && *log != '\0') {
        FILE *f = fopen(log, "a");
        if (f != NULL) {
            struct stat st;
            char size[32] = "missing";
            if (policy_path != NULL && stat(policy_path, &st) == 0)
                snprintf(size, sizeof size, "%lld", (long long)st.st_size);
            fprintf(f, "zorva2_scene_plugin_merge_policy %s %s %s\n", scene ? scene : "(null)",
                    policy_path ? policy_path : "(null)", size);
            fclose(f);
        }
    }
    if (kill != NULL && strcmp(kill, "1") == 0)
        raise(SIGKILL);
    if (fail != NULL && *fail != '\0')
        return atoi(fail);
    return 0;
}

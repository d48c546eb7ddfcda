/* Stand-in for libvrexinterpreter.so.1 in tests.
 *
 * Each call appends one line to the file named by VREX_TEST_INTERPRETER_LOG
 * (when set): the function's name followed by its arguments, separated by
 * blanks. VREX_TEST_INTERPRETER_FAIL holds a comma-separated list of
 * "name=code" entries (or bare names, meaning code 1); a listed function
 * returns that code instead of 0. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vrex_interpreter.h"

static void record(const char *line) {
    const char *path = getenv("VREX_TEST_INTERPRETER_LOG");
    if (path == NULL || *path == '\0')
        return;
    FILE *f = fopen(path, "a");
    if (f == NULL)
        return;
    fprintf(f, "%s\n", line);
    fclose(f);
}

static int result_for(const char *name) {
    const char *list = getenv("VREX_TEST_INTERPRETER_FAIL");
    size_t len = strlen(name);
    while (list != NULL && *list != '\0') {
        const char *end = strchr(list, ',');
        size_t entry = end ? (size_t)(end - list) : strlen(list);
        if (entry >= len && strncmp(list, name, len) == 0) {
            if (entry == len)
                return 1;
            if (list[len] == '=')
                return atoi(list + len + 1);
        }
        list = end ? end + 1 : NULL;
    }
    return 0;
}

int compileInitPolicy(void) {
    record("compileInitPolicy");
    return result_for("compileInitPolicy");
}

int deployPolicy(void) {
    record("deployPolicy");
    return result_for("deployPolicy");
}

int compileSectionPolicy(const char *section, const char *policy) {
    char *line = NULL;
    if (asprintf(&line, "compileSectionPolicy %s %s", section ? section : "(null)", policy ? policy : "(null)") >= 0) {
        record(line);
        free(line);
    }
    return result_for("compileSectionPolicy");
}

int sendPolicy(void) {
    record("sendPolicy");
    return result_for("sendPolicy");
}

int modifyDynamicVariable(const char *name, const char *value, unsigned int type) {
    char *line = NULL;
    if (asprintf(&line, "modifyDynamicVariable %s %s %u", name ? name : "(null)", value ? value : "(null)", type) >=
        0) {
        record(line);
        free(line);
    }
    return result_for("modifyDynamicVariable");
}

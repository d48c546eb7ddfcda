/* Stand-in for libvrexinterpreter.so.1 in tests.
 *
 * Each call appends one line to the file named by VREX_TEST_INTERPRETER_LOG
 * (when set): the function's name followed by its arguments, separated by
 * blanks; in the arguments a newline is written as \n and a backslash as \\,
 * so that every call stays one line. VREX_TEST_INTERPRETER_FAIL holds a
 * comma-separated list of "name=code" entries (or bare names, meaning code
 * 1); a listed function returns that code instead of 0.
 * VREX_TEST_INTERPRETER_KILL names one function: the calling process is
 * killed with SIGKILL right after that function's line is written. */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vrex_interpreter.h"

/* True when calls are recorded: the lines are built only then. */
static int recording(const char *name) {
    const char *path = getenv("VREX_TEST_INTERPRETER_LOG");
    const char *kill = getenv("VREX_TEST_INTERPRETER_KILL");
    return (path != NULL && *path != '\0') || (kill != NULL && strcmp(kill, name) == 0);
}

static void record(const char *name, const char *line) {
    const char *path = getenv("VREX_TEST_INTERPRETER_LOG");
    const char *kill = getenv("VREX_TEST_INTERPRETER_KILL");
    if (path != NULL && *path != '\0') {
        FILE *f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%s\n", line);
            fclose(f);
        }
    }
    if (kill != NULL && strcmp(kill, name) == 0)
        raise(SIGKILL);
}

/* `text` with newlines and backslashes escaped; the caller frees it. */
static char *escaped(const char *text) {
    size_t n = 0;
    const char *p;
    char *out;
    char *q;
    if (text == NULL)
        return strdup("(null)");
    for (p = text; *p; ++p)
        n += (*p == '\n' || *p == '\\') ? 2 : 1;
    out = malloc(n + 1);
    if (out == NULL)
        return NULL;
    for (p = text, q = out; *p; ++p) {
        if (*p == '\n') {
            *q++ = '\\';
            *q++ = 'n';
        } else if (*p == '\\') {
            *q++ = '\\';
            *q++ = '\\';
        } else {
            *q++ = *p;
        }
    }
    *q = '\0';
    return out;
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
    record("compileInitPolicy", "compileInitPolicy");
    return result_for("compileInitPolicy");
}

int deployPolicy(void) {
    record("deployPolicy", "deployPolicy");
    return result_for("deployPolicy");
}

int compileSectionPolicy(const char *section, const char *policy) {
    char *line = NULL;
    char *s;
    char *p;
    if (!recording("compileSectionPolicy"))
        return result_for("compileSectionPolicy");
    s = escaped(section);
    p = escaped(policy);
    if (s != NULL && p != NULL && asprintf(&line, "compileSectionPolicy %s %s", s, p) >= 0) {
        record("compileSectionPolicy", line);
        free(line);
    }
    free(s);
    free(p);
    return result_for("compileSectionPolicy");
}

int sendPolicy(void) {
    record("sendPolicy", "sendPolicy");
    return result_for("sendPolicy");
}

int modifyDynamicVariable(const char *name, const char *value, unsigned int type) {
    char *line = NULL;
    char *n;
    char *v;
    if (!recording("modifyDynamicVariable"))
        return result_for("modifyDynamicVariable");
    n = escaped(name);
    v = escaped(value);
    if (n != NULL && v != NULL && asprintf(&line, "modifyDynamicVariable %s %s %u", n, v, type) >= 0) {
        record("modifyDynamicVariable", line);
        free(line);
    }
    free(n);
    free(v);
    return result_for("modifyDynamicVariable");
}

/* The five functions of the policy interpreter library (libvrexinterpreter.so.1)
 * that this library calls. Each returns 0 on success; any other value is a
 * failure code that the caller only prints. */
#ifndef ZORVA_SCENE_VREX_INTERPRETER_H
#define ZORVA_SCENE_VREX_INTERPRETER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Compiles the whole policy when the kernel module holds none yet. */
int compileInitPolicy(void);
/* Loads the compiled policy when the kernel module is already running one. */
int deployPolicy(void);
/* Compiles the policy text of one changed section. */
int compileSectionPolicy(const char *section, const char *policy);
/* Sends the sections compiled since the last send to the kernel. */
int sendPolicy(void);
/* Changes a run-time variable without recompiling. */
int modifyDynamicVariable(const char *name, const char *value, unsigned int type);

#ifdef __cplusplus
}
#endif

#endif

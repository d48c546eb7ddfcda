/* libvault_store: the per-container policy switches, kept in
 * "/etc/vrex/container/container.xml" and pushed to the kernel through
 * "/sys/kernel/security/vrex/policy_docker/dockerstatus".
 *
 * Every function returns 0 on success and -1 on failure unless said
 * otherwise. Success messages go to standard output, failures to standard
 * error. Arrays handed out belong to the caller. */
#ifndef VAULT_STORE_H
#define VAULT_STORE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VAULT_STORE_API __attribute__((visibility("default")))
#else
#define VAULT_STORE_API
#endif

/* One container's switches; these 69 bytes are also the kernel's record. */
typedef struct __attribute__((packed)) _ContainerPolicy {
    char container_id[65];   /* 64 hexadecimal characters and a NUL */
    uint8_t global_switch;   /* 0 off, 2 on, 4 soft mode */
    uint8_t exec_control;    /* 0 disabled, 1 enabled */
    uint8_t network_control; /* 0 disabled, 1 enabled */
    uint8_t file_protection; /* 0 disabled, 1 enabled */
} _ContainerPolicy;

/* The record is the kernel's wire format: its size and layout never change. */
#if defined(__cplusplus)
static_assert(sizeof(_ContainerPolicy) == 69, "_ContainerPolicy must be 69 bytes");
static_assert(offsetof(_ContainerPolicy, global_switch) == 65, "global_switch offset");
static_assert(offsetof(_ContainerPolicy, exec_control) == 66, "exec_control offset");
static_assert(offsetof(_ContainerPolicy, network_control) == 67, "network_control offset");
static_assert(offsetof(_ContainerPolicy, file_protection) == 68, "file_protection offset");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(_ContainerPolicy) == 69, "_ContainerPolicy must be 69 bytes");
_Static_assert(offsetof(_ContainerPolicy, global_switch) == 65, "global_switch offset");
_Static_assert(offsetof(_ContainerPolicy, exec_control) == 66, "exec_control offset");
_Static_assert(offsetof(_ContainerPolicy, network_control) == 67, "network_control offset");
_Static_assert(offsetof(_ContainerPolicy, file_protection) == 68, "file_protection offset");
#endif

/* A loaded record array; policies belongs to the descriptor. */
typedef struct ContainerPolicyArray {
    _ContainerPolicy *policies;
    int32_t count;
    int32_t reserved; /* set to zero, never read */
} ContainerPolicyArray;

/* Writes the array as the whole store file. The file is replaced at once
 * (a temporary file renamed over it), so it always holds either the old or
 * the new content; a symbolic link or other non-regular file at the path is
 * refused. Save, add, remove and clear exclude each other, also across
 * processes, through a lock on "container.xml.lock" beside the store. */
VAULT_STORE_API int vault_store_save(const _ContainerPolicy *policies, int count);
/* Reads the whole store file; *policies is a new array (NULL when empty),
 * to be released with free(). A missing file is an empty store. The file
 * holds one policy per line; "<policy" elements that do not (several on a
 * line, one spread over lines) or that have no valid identifier are not
 * loaded, and their count is reported on standard error. */
VAULT_STORE_API int vault_store_load(_ContainerPolicy **policies, int *count);
/* "/etc/vrex/container/container.xml" */
VAULT_STORE_API const char *vault_store_get_default_path(void);
/* True when the store file exists and is a regular file (links followed). */
VAULT_STORE_API bool vault_store_exists(void);

/* 0 when the store's directory exists. */
VAULT_STORE_API int vault_store_init(void);
VAULT_STORE_API void vault_store_cleanup(void);
/* Adds the record, or replaces the stored record with the same identifier.
 * Add and remove return -1 and leave the file as it is when it holds
 * elements that could not be read (see vault_store_load): saving would lose
 * them. */
VAULT_STORE_API int vault_store_add_policy(const _ContainerPolicy *policy);
/* Removes the first record with the identifier; 0 when none is stored, -1
 * when the store cannot be read. */
VAULT_STORE_API int vault_store_remove_policy(const char *container_id);
/* 0 and the record copied to *out when found; -1 when not found. */
VAULT_STORE_API int vault_store_find_policy(const char *container_id, _ContainerPolicy *out);
/* Rewrites the store file with no records (also when it did not exist). */
VAULT_STORE_API int vault_store_clear_all(void);
/* Empties the descriptor, then loads the store into it. */
VAULT_STORE_API int vault_store_load_to_array(ContainerPolicyArray *array);
/* Releases the descriptor's records; NULL is ignored. */
VAULT_STORE_API void vault_store_array_free(ContainerPolicyArray *array);
/* Writes every stored record to the kernel status file in one write; a
 * write that the kernel accepts only in part is a failure. It holds the lock
 * "/run/vrex/container-policy.lock" meanwhile, which container-policy-tool
 * and libzorva_scene_container hold around their own kernel writes and store
 * updates. A store file holding "<policy" elements that could not be read
 * (not one policy per line) still has the records read pushed, but the count
 * is reported on standard error and the result is -1. */
VAULT_STORE_API int vault_store_sync_to_kernel(void);

#ifdef __cplusplus
}
#endif

#endif

/* The public header compiled as strict C: it must build with -Wall -Wextra
 * -pedantic -Werror and link against the library. */
#include "vault_store.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    _ContainerPolicy policy;
    ContainerPolicyArray array = {NULL, 0, 0};
    memset(&policy, 0, sizeof policy);
    vault_store_array_free(&array);
    vault_store_cleanup();
    if (sizeof policy != 69 || strcmp(vault_store_get_default_path(), "/etc/vrex/container/container.xml") != 0) {
        fprintf(stderr, "unexpected record size or store path\n");
        return 1;
    }
    return 0;
}

/* A child writer for the end-to-end tests, using libvault_store.so through
 * its C interface only.
 *   vault_store_writer add FIRST COUNT
 *       reads standard input to its end (the start signal), then adds COUNT
 *       records whose identifiers are FIRST, FIRST+1, ... in hexadecimal.
 *   vault_store_writer churn N
 *       writes one byte to standard output once running, then adds and
 *       removes the record with identifier N until it is killed.
 * Store messages are discarded; failures are reported on standard error. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vault_store.h"

static void make_policy(unsigned long n, _ContainerPolicy *p) {
    memset(p, 0, sizeof *p);
    snprintf(p->container_id, sizeof p->container_id, "%064lx", n);
    p->global_switch = 2;
    p->exec_control = 1;
    p->network_control = (uint8_t)(n & 1u);
    p->file_protection = 1;
}

/* Keeps fd 1 for the ready signal and sends the library's messages away. */
static int quiet_stdout(void) {
    int keep = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    if (keep < 0 || null_fd < 0 || dup2(null_fd, 1) < 0)
        return -1;
    close(null_fd);
    return keep;
}

int main(int argc, char **argv) {
    if (argc != 4 && argc != 3) {
        fprintf(stderr, "usage: vault_store_writer add FIRST COUNT | churn N\n");
        return 2;
    }
    if (strcmp(argv[1], "add") == 0 && argc == 4) {
        unsigned long first = strtoul(argv[2], NULL, 0);
        unsigned long count = strtoul(argv[3], NULL, 0);
        char buf[64];
        while (read(0, buf, sizeof buf) > 0) {}
        if (quiet_stdout() < 0)
            return 1;
        int failures = 0;
        for (unsigned long i = 0; i < count; ++i) {
            _ContainerPolicy p;
            make_policy(first + i, &p);
            if (vault_store_add_policy(&p) != 0) {
                fprintf(stderr, "add %s failed\n", p.container_id);
                ++failures;
            }
        }
        return failures ? 1 : 0;
    }
    if (strcmp(argv[1], "churn") == 0 && argc == 3) {
        _ContainerPolicy p;
        make_policy(strtoul(argv[2], NULL, 0), &p);
        int ready = quiet_stdout();
        if (ready < 0 || write(ready, "R", 1) != 1)
            return 1;
        close(ready);
        for (;;) {
            if (vault_store_add_policy(&p) != 0 || vault_store_remove_policy(p.container_id) != 0) {
                fprintf(stderr, "churn step failed\n");
                return 1;
            }
        }
    }
    fprintf(stderr, "unknown command %s\n", argv[1]);
    return 2;
}

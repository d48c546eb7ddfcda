// The command line of container-policy-tool: write, read, clear, sync, list
// and help over the kernel status file and the store file. The paths are
// parameters so that tests can point the whole tool at files of their own;
// main binds the fixed system paths.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

#include "vault_store.h"

namespace policy_tool {

struct ToolPaths {
    const char *store;   // the store file
    const char *kernel;  // the kernel status file
    // The kernel table's lock, held by write, clear and sync around the
    // kernel write and the store update (vrex::record::kKernelTableLockPath
    // in the installed tool). Null: no lock, for tests of one writer.
    const char *lock = nullptr;
};

// Hands one record to the kernel: returns what the write returned (the
// number of bytes taken), or -1 after reporting the failure.
using KernelWriter = std::function<ssize_t(const char *kernel_path, const _ContainerPolicy &record)>;

// Opens the kernel status file write-only, writes the 69 bytes in one call and
// closes it; failures are reported under "open" and "write".
ssize_t write_kernel_record(const char *kernel_path, const _ContainerPolicy &record);

// The write command after its spec has parsed: for each policy in order the
// "Policy: ..." line, one write, the success line; the first failed or short
// write ends the run with -1. Unless persist is false, the policies that did
// reach the kernel are then added to (or updated in) the store. Returns the
// exit status.
int write_policies(const std::vector<_ContainerPolicy> &policies, bool persist, const ToolPaths &paths,
                   const KernelWriter &writer);

// Runs the whole command line; returns the exit status (0, 1, or -1).
int run(int argc, char **argv, const ToolPaths &paths);

// Readies the process's standard streams before run: closed descriptors 0 to
// 2 are held by /dev/null (so that no file the tool opens takes their place
// and receives its messages), and standard output is line-buffered, so that
// its lines keep their order with those on standard error also in a pipe.
void prepare_standard_streams();

}  // namespace policy_tool

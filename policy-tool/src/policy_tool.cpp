#include "policy_tool.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "container_record.h"
#include "policy_list.h"
#include "policy_parser.h"
#include "store_core.h"
#include "sysutil/io.h"
#include "sysutil/unique_fd.h"

namespace policy_tool {
namespace {

constexpr const char *kDefaultProgramName = "container-policy-tool";
// "read" prints one read of the kernel's table, terminated in this buffer.
constexpr std::size_t kReadBufferSize = 4096;

void print_usage(const char *prog) {
    std::printf("VREX Container Policy Tool\n");
    std::printf("Usage:\n");
    std::printf("  %s write -p <policy>           Write specific policy\n", prog);
    std::printf("  %s read                        Read current policies\n", prog);
    std::printf("  %s clear                       Clear all policies\n", prog);
    std::printf("  %s sync                        Sync XML policies to kernel\n", prog);
    std::printf("  %s help                        Show this help message\n", prog);
    std::printf("  %s list [--json]               List policies stored in XML\n", prog);
    std::printf("\nOptions for write command:\n");
    std::printf("  -p, --policy <spec>           Specify policy in format: id:global:exec:net:file\n");
    std::printf("                                Multiple policies separated by semicolon\n");
    std::printf("  -n, --no-xml                  Do not persist to XML (only write to sysfs)\n");
    std::printf("\nPolicy format examples:\n");
    std::printf("  Single: a1b2c3...:4:1:0:1\n");
    std::printf("  Multiple: id1:4:1:0:1;id2:0:0:0:0;id3:2:1:1:1\n");
    std::printf("\nSwitch values:\n");
    std::printf("  Global: 0=OFF, 2=ON, 4=SOFTMODE\n");
    std::printf("  Exec/Net/File: 0=DISABLED, 1=ENABLED\n");
}

int unknown_option(const char *prog) {
    std::fputs("Unknown option\n", stderr);
    print_usage(prog);
    return 1;
}

struct WriteArgs {
    const char *spec = nullptr;
    bool persist = true;
};

// The options of "write", from the command word on. Gives the exit status
// when the command ends here (help, or a usage error), else nullopt with
// args filled in.
std::optional<int> parse_write_options(int argc, char **argv, WriteArgs &args) {
    const char *prog = argv[0];
    static const option kLongOptions[] = {
        {"policy", required_argument, nullptr, 'p'},
        {"no-xml", no_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    // Options start after the command word: hand getopt the arguments from
    // "write" on, on a copy it may permute.
    std::vector<char *> words(argv + 1, argv + argc);
    words.push_back(nullptr);
    int count = argc - 1;
    optind = 0;  // full restart, so that run() can be called more than once
    opterr = 0;  // "Unknown option" is our own message
    int c;
    while ((c = getopt_long(count, words.data(), "p:hn", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 'p':
            // A second spec would silently replace the first.
            if (args.spec != nullptr) {
                std::fputs("option -p given more than once\n", stderr);
                print_usage(prog);
                return 1;
            }
            args.spec = optarg;
            break;
        case 'n':
            args.persist = false;
            break;
        case 'h':
            print_usage(prog);
            return 0;
        default:
            return unknown_option(prog);
        }
    }
    // A stray word (an unquoted ';' split by the shell, a second spec) is
    // refused rather than silently dropped.
    if (optind < count)
        return unknown_option(prog);
    if (args.spec == nullptr) {
        std::fputs("Error: -p, --policy option is required for write command\n", stderr);
        print_usage(prog);
        return 1;
    }
    return std::nullopt;
}

// For each policy in order: its line, one write to the kernel, the success
// line. Stops at the first failed or short write. Returns how many the kernel
// took whole.
std::size_t send_policies(const std::vector<_ContainerPolicy> &policies, const ToolPaths &paths,
                          const KernelWriter &writer) {
    std::size_t written = 0;
    for (const _ContainerPolicy &record : policies) {
        std::printf("Policy: ID=%s, Global=%d, Exec=%d, Net=%d, File=%d\n", record.container_id, record.global_switch,
                    record.exec_control, record.network_control, record.file_protection);
        std::fflush(stdout);  // keep the lines in order with any error that follows
        ssize_t n = writer(paths.kernel, record);
        if (n < 0)
            break;
        if (static_cast<std::size_t>(n) != sizeof record) {
            // The kernel took part of the record: it does not hold this policy.
            std::fprintf(stderr, "write: the kernel took %zd of %zu bytes\n", n, sizeof record);
            break;
        }
        std::puts("Successfully wrote policy to kernel");
        ++written;
    }
    return written;
}

// The store mirrors the kernel: exactly the policies the kernel took, each
// added or updated, the other containers' records kept. Failures are
// warnings: the kernel's table is what counts.
void persist_policies(const _ContainerPolicy *policies, std::size_t count, const ToolPaths &paths) {
    if (count == 0)
        return;
    if (vault::init(paths.store) != 0) {
        std::fputs("Failed to initialize XML library\n", stderr);
        std::fputs("Warning: Failed to persist policy to XML\n", stderr);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (vault::add_policy(paths.store, &policies[i]) != 0) {
            std::fputs("Warning: Failed to persist policy to XML\n", stderr);
            return;
        }
    }
}

int cmd_write(int argc, char **argv, const ToolPaths &paths) {
    WriteArgs args;
    if (std::optional<int> status = parse_write_options(argc, argv, args))
        return *status;
    SpecResult parsed;
    try {
        parsed = parse_policy_arg(args.spec);
    } catch (const std::exception &) {
        // Out of memory while copying the policy argument: nothing was written.
        std::fputs("Failed to parse policy\n", stderr);
        return 1;
    }
    if (!parsed.ok()) {
        std::fwrite(parsed.error.data(), 1, parsed.error.size(), stderr);
        std::fputs("Failed to parse policy\n", stderr);
        return 1;
    }
    return write_policies(parsed.policies, args.persist, paths, write_kernel_record);
}

// Hands bytes to the kernel in one write: the count it took, or -1 after
// reporting the failure under "open" or "write".
ssize_t write_to_kernel(const char *kernel_path, const void *bytes, std::size_t size) {
    vrex::record::KernelWrite sent = vrex::record::writeToKernel(kernel_path, bytes, size);
    if (vrex::record::printKernelFailure(sent, "open", "write"))
        return -1;
    return static_cast<ssize_t>(sent.accepted);
}

// Writes the text to standard output and flushes it: 0, or -1 after the
// failure is reported. For commands whose output is their result: output
// that went nowhere (a full disk, a closed descriptor) is a failure.
int put_output(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return 0;
    vrex::sys::printError("Failed to write to standard output", errno != 0 ? errno : EIO);
    return -1;
}

// What stands at a path that is not a regular file, for a message.
const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "a special file";
}

int cmd_read(const ToolPaths &paths) {
    vrex::sys::UniqueFd fd(::open(paths.kernel, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::perror("open");
        return -1;
    }
    char buffer[kReadBufferSize];
    ssize_t n = vrex::sys::readOnce(fd.get(), buffer, sizeof buffer - 1);
    if (n < 0) {
        std::perror("read");
        return -1;
    }
    buffer[n] = '\0';
    // The table's text ends at its first NUL byte, as it always has.
    std::string text = "Current policies:\n";
    text.append(buffer).append("\n");
    return put_output(text);
}

int cmd_clear(const ToolPaths &paths) {
    vault::KernelTableLock lock;
    if (lock.acquire(paths.lock) != 0)
        return -1;
    // A write of zero bytes empties the kernel's table.
    if (write_to_kernel(paths.kernel, "", 0) < 0)
        return -1;
    std::puts("All policies cleared from kernel");
    if (vault::init(paths.store) != 0)
        return 0;  // the store has said why; the kernel table is what counts
    if (vault::clear_all(paths.store) != 0)
        std::fputs("Warning: Failed to clear XML policies\n", stderr);
    return 0;
}

int cmd_sync(const ToolPaths &paths) {
    if (vault::init(paths.store) != 0) {
        std::fputs("Failed to initialize XML library\n", stderr);
        return -1;
    }
    vault::KernelTableLock lock;
    if (lock.acquire(paths.lock) != 0)
        return -1;
    // Only a missing file means there is nothing to sync; anything else at
    // the path is named and fails, so that the boot unit shows it.
    struct stat st;
    if (::stat(paths.store, &st) != 0) {
        if (errno == ENOENT) {
            std::puts("XML file does not exist, nothing to sync");
            return 0;
        }
        std::perror("stat");
        std::fputs("Failed to sync XML policies to kernel\n", stderr);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "XML file %s is %s, not a regular file\n", paths.store, file_kind(st.st_mode));
        std::fputs("Failed to sync XML policies to kernel\n", stderr);
        return -1;
    }
    if (vault::sync_to_kernel(paths.store, paths.kernel) != 0) {
        std::fputs("Failed to sync XML policies to kernel\n", stderr);
        return -1;
    }
    std::puts("Successfully synced XML policies to kernel");
    return 0;
}

int cmd_list(int argc, char **argv, const ToolPaths &paths) {
    bool json = false;
    if (argc == 3 && std::strcmp(argv[2], "--json") == 0)
        json = true;
    else if (argc > 2)
        return unknown_option(argv[0]);

    _ContainerPolicy *raw = nullptr;
    int count = 0;
    // "list" prints nothing but the table or the JSON on standard output.
    int rc = vault::load(paths.store, &raw, &count, /*announce=*/false);
    vrex::sys::MallocPtr<_ContainerPolicy> policies(raw);
    if (rc != 0) {
        std::fputs("Failed to load policies from XML\n", stderr);
        return -1;
    }
    std::string text = json ? format_policy_json(policies.get(), count) : format_policy_table(policies.get(), count);
    return put_output(text);
}

int dispatch(int argc, char **argv, const ToolPaths &paths) {
    const char *prog = argv[0];
    if (argc < 2) {
        print_usage(prog);
        return 1;
    }
    std::string_view command = argv[1];
    if (command == "write")
        return cmd_write(argc, argv, paths);
    if (command == "list")
        return cmd_list(argc, argv, paths);
    if (command == "read" || command == "clear" || command == "sync" || command == "help") {
        if (argc > 2)
            return unknown_option(prog);
        if (command == "read")
            return cmd_read(paths);
        if (command == "clear")
            return cmd_clear(paths);
        if (command == "sync")
            return cmd_sync(paths);
        print_usage(prog);
        return 0;
    }
    std::fprintf(stderr, "Unknown command: %s\n", argv[1]);
    print_usage(prog);
    return 1;
}

}  // namespace

ssize_t write_kernel_record(const char *kernel_path, const _ContainerPolicy &record) {
    return write_to_kernel(kernel_path, &record, sizeof record);
}

int write_policies(const std::vector<_ContainerPolicy> &policies, bool persist, const ToolPaths &paths,
                   const KernelWriter &writer) {
    // The kernel write and the store update as one step for other writers.
    vault::KernelTableLock lock;
    if (lock.acquire(paths.lock) != 0)
        return -1;
    std::size_t written = send_policies(policies, paths, writer);
    int status = written == policies.size() ? 0 : -1;
    if (!persist) {
        if (status == 0)
            std::puts("XML persistence disabled (--no-xml)");
        return status;
    }
    persist_policies(policies.data(), written, paths);
    return status;
}

void prepare_standard_streams() {
    vrex::sys::reserveStandardDescriptors();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

int run(int argc, char **argv, const ToolPaths &paths) {
    char fallback[] = "container-policy-tool";
    char *fallbackArgv[] = {fallback, nullptr};
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        argc = 1;
        argv = fallbackArgv;
    }
    try {
        return dispatch(argc, argv, paths);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", kDefaultProgramName, e.what());
        return -1;
    }
}

}  // namespace policy_tool

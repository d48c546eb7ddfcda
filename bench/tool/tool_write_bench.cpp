// Times, in one run, the whole process "write -p" for one container of a
// 10,000-record store (the store is loaded, updated and saved) and "cp" of
// that store file, and prints both with their ratio.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "record_fixtures.h"
#include "store_core.h"

namespace {

constexpr int kRecords = 10000;
constexpr int kRuns = 40;

int runQuiet(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Figures {
    double median, mean, min;
};

Figures timeRuns(const std::vector<std::string> &argv) {
    std::vector<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        auto start = std::chrono::steady_clock::now();
        int rc = runQuiet(argv);
        auto end = std::chrono::steady_clock::now();
        if (rc != 0) {
            std::fprintf(stderr, "%s exited with %d\n", argv[0].c_str(), rc);
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    return {ms[ms.size() / 2], sum / static_cast<double>(ms.size()), ms.front()};
}

std::string hexId(int n) { return vrex::testing::makeId(static_cast<unsigned long>(n)); }

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/tool-bench.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string store = dir + "/container.xml";
    const std::string copy = dir + "/copy.xml";
    const std::string kernel = dir + "/dockerstatus";

    std::vector<_ContainerPolicy> records;
    for (int i = 0; i < kRecords; ++i)
        records.push_back(vrex::testing::makePolicy(hexId(i), 2, 1, 0, 0));
    std::FILE *k = std::fopen(kernel.c_str(), "w");
    if (k)
        std::fclose(k);
    if (vault::save(store.c_str(), records.data(), kRecords) != 0)
        return 1;

    // Update a container in the middle of the store: the file keeps 10,000
    // records, so every run does the same work.
    const std::string spec = hexId(kRecords / 2) + ":4:1:0:1";
    Figures tool = timeRuns({TOOL_AT, store, kernel, "write", "-p", spec});
    Figures cp = timeRuns({"cp", store, copy});

    std::printf("store: %d records, %ju bytes; %d runs each\n", kRecords,
                static_cast<std::uintmax_t>(std::filesystem::file_size(store)), kRuns);
    std::printf("%-34s median %8.3f ms  mean %8.3f ms  min %8.3f ms\n", "container-policy-tool write -p", tool.median,
                tool.mean, tool.min);
    std::printf("%-34s median %8.3f ms  mean %8.3f ms  min %8.3f ms\n", "cp of the store file", cp.median, cp.mean,
                cp.min);
    std::printf("ratio (median): write is %.2f x cp\n", tool.median / cp.median);

    std::filesystem::remove_all(dir);
    return 0;
}

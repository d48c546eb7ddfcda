// Store operations on a store of 10,000 records: load, add, find and sync
// to a kernel stand-in file, and beside them a plain read of the same file
// into memory. Prints each figure and the ratio of load to plain read.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "record_fixtures.h"
#include "store_core.h"

namespace {

constexpr int kRecords = 10000;

struct Paths {
    std::string dir, store, kernel;
};

Paths &paths() {
    static Paths p;
    return p;
}

_ContainerPolicy policyFor(int n) {
    return vrex::testing::makePolicy(vrex::testing::makeId(static_cast<unsigned long>(n)), n % 3 * 2, n & 1, 1,
                                     (n >> 1) & 1);
}

// The store prints a line per operation; keep it out of the figures.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        std::cout.flush();
        saved_ = dup(1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

void writeStore() {
    std::vector<_ContainerPolicy> recs;
    for (int i = 0; i < kRecords; ++i)
        recs.push_back(policyFor(i));
    QuietStdout quiet;
    if (vault::save(paths().store.c_str(), recs.data(), kRecords) != 0)
        std::abort();
}

void BM_PlainRead(benchmark::State &state) {
    for (auto _ : state) {
        int fd = open(paths().store.c_str(), O_RDONLY);
        struct stat st;
        fstat(fd, &st);
        char *buf = static_cast<char *>(std::malloc(static_cast<size_t>(st.st_size) + 1));
        ssize_t got = read(fd, buf, static_cast<size_t>(st.st_size));
        benchmark::DoNotOptimize(buf);
        if (got != st.st_size)
            std::abort();
        std::free(buf);
        close(fd);
    }
}

void BM_Load(benchmark::State &state) {
    QuietStdout quiet;
    for (auto _ : state) {
        _ContainerPolicy *recs = nullptr;
        int count = 0;
        if (vault::load(paths().store.c_str(), &recs, &count) != 0 || count != kRecords)
            std::abort();
        benchmark::DoNotOptimize(recs);
        std::free(recs);
    }
}

void BM_Add(benchmark::State &state) {
    writeStore();
    _ContainerPolicy extra = policyFor(kRecords + 1);
    QuietStdout quiet;
    for (auto _ : state) {
        extra.global_switch ^= 2;  // the first add appends, the others update in place
        if (vault::add_policy(paths().store.c_str(), &extra) != 0)
            std::abort();
    }
}

void BM_Find(benchmark::State &state) {
    writeStore();
    _ContainerPolicy last = policyFor(kRecords - 1), out;
    QuietStdout quiet;
    for (auto _ : state)
        if (vault::find_policy(paths().store.c_str(), last.container_id, &out) != 0)
            std::abort();
}

void BM_Sync(benchmark::State &state) {
    writeStore();
    QuietStdout quiet;
    for (auto _ : state) {
        if (vault::sync_to_kernel(paths().store.c_str(), paths().kernel.c_str()) != 0)
            std::abort();
    }
}

BENCHMARK(BM_PlainRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Add)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Find)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sync)->Unit(benchmark::kMicrosecond);

// Keeps the console output and remembers each benchmark's time per iteration.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &run : runs)
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char **argv) {
    char dirTemplate[] = "/tmp/vrex-store-bench.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr)
        return 1;
    paths().dir = dirTemplate;
    paths().store = paths().dir + "/container.xml";
    paths().kernel = paths().dir + "/dockerstatus";
    int kfd = open(paths().kernel.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    close(kfd);
    writeStore();

    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto read = reporter.times.find("BM_PlainRead"), load = reporter.times.find("BM_Load");
    if (read != reporter.times.end() && load != reporter.times.end() && read->second > 0) {
        struct stat st;
        stat(paths().store.c_str(), &st);
        std::printf("store of %d records, %lld bytes: load / plain read = %.2f (goal: within 10)\n", kRecords,
                    static_cast<long long>(st.st_size), load->second / read->second);
    }
    unlink(paths().store.c_str());
    unlink((paths().store + ".lock").c_str());
    unlink(paths().kernel.c_str());
    rmdir(paths().dir.c_str());
    return 0;
}

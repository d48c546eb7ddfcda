// Set status and get status on a scene document holding 1,000 containers,
// against a reference measured in the same run: Python's json module loading
// and dumping the same document (timed inside Python).
//
// The exported functions refuse any caller but the daemon, so this runs the
// operations one layer below them, with a context pointing at temporary
// files and a store library stand-in that accepts every record.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "policy/container_status.h"
#include "policy/document_file.h"
#include "test_util.h"

using namespace zorva::scene;
using Clock = std::chrono::steady_clock;

namespace {

int storeHandle;
int acceptRecord(const _ContainerPolicy *) { return 0; }
const StoreLoader kAcceptingStore{
    "libvault_store.so",
    [](const char *, int) -> void * { return &storeHandle; },
    [](void *, const char *name) -> void * {
        return std::string(name) == "vault_store_add_policy" ? reinterpret_cast<void *>(&acceptRecord) : nullptr;
    },
    [](void *) { return 0; },
    []() -> const char * { return nullptr; },
};

std::string containerId(int i) {
    char buf[65];
    std::snprintf(buf, sizeof buf, "%064x", i * 2654435761u);
    return buf;
}

double medianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const char *kPython = R"(
import json, sys, time
path, out, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
times = []
for _ in range(runs):
    t0 = time.perf_counter()
    with open(path) as f:
        doc = json.load(f)
    with open(out, "w") as f:
        json.dump(doc, f, indent=2)
    times.append((time.perf_counter() - t0) * 1000.0)
times.sort()
print(times[len(times) // 2])
)";

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    vrex::testing::TempDir dir;
    StatusContext ctx;
    ctx.documentPath = dir.file("zorva_container.json");
    ctx.policyPath = dir.file("zorva_container.policy");
    ctx.kernelStatusPath = dir.file("dockerstatus");
    ctx.kernelTableLockPath = dir.file("run/container-policy.lock");  // taken as in the installed library
    ctx.moduleName = "container";
    ctx.store = &kAcceptingStore;
    vrex::testing::writeFile(ctx.kernelStatusPath, "");

    // The shipped document with 1,000 container entries.
    auto policy = loadPolicy(VREX_DEFAULT_SCENE_DOCUMENT_PATH);
    if (!policy) {
        std::fprintf(stderr, "%s\n", policy.error().chain().c_str());
        return 1;
    }
    Module *containers = findModule(policy.value(), "container").value();
    for (int i = 0; i < 1000; ++i)
        containers->variables.push_back(Variable{containerId(i), VariableTypes::container({i % 2 ? 2 : 4, 1, 1, 1})});
    if (!savePolicy(ctx.documentPath, policy.value())) {
        std::fprintf(stderr, "cannot write the document\n");
        return 1;
    }
    long size = static_cast<long>(vrex::testing::readFile(ctx.documentPath).size());

    // The store line of every set goes to /dev/null while timing.
    std::fflush(stdout);
    int savedOut = dup(1);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    std::vector<double> setMs, getMs;
    int failures = 0;
    for (int r = 0; r < runs; ++r) {
        std::string id = containerId((r * 37) % 1000);
        auto t0 = Clock::now();
        failures += !setContainerStatus(ctx, id, r % 2 ? 0 : 2).ok();
        auto t1 = Clock::now();
        auto got = getContainerStatus(ctx, id);
        auto t2 = Clock::now();
        failures += !got.ok() || got.value() != (r % 2 ? 0 : 2);
        setMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        getMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::fflush(stdout);
    dup2(savedOut, 1);
    close(savedOut);
    close(devNull);
    if (failures != 0) {
        std::fprintf(stderr, "%d operations failed\n", failures);
        return 1;
    }

    auto py = vrex::testing::runProcess(
        {"python3", "-c", kPython, ctx.documentPath, dir.file("python_out.json"), std::to_string(runs)});
    if (py.exitCode != 0) {
        std::fprintf(stderr, "python3 failed: %s\n", py.err.c_str());
        return 1;
    }
    double pyMs = std::stod(py.out);
    double set = medianMs(setMs), get = medianMs(getMs);
    std::printf("document: 1000 containers, %ld bytes; %d runs each, medians\n", size, runs);
    std::printf("  set status (lock, load, change, save with fsync, kernel record, store): %8.3f ms\n", set);
    std::printf("  get status (load, read):                                                 %8.3f ms\n", get);
    std::printf("  reference: python3 json load + dump of the same document:                %8.3f ms\n", pyMs);
    std::printf("  set/python %.2f, get/python %.2f; goal (each below python): %s\n", set / pyMs, get / pyMs,
                set < pyMs && get < pyMs ? "met" : "NOT met");
    return 0;
}

// Adding one path to a file-control list of 1,000, 10,000 and 100,000 paths:
// the whole rule operation (lock, load, change, save with fsync, policy text
// written with fsync, pending mark, plugin manager stand-in loaded and
// called, section compiled and sent through the interpreter stand-in),
// against a reference measured in the same run: Python's json module loading
// and dumping the same document (timed inside Python, without flushing to
// disk). Beside them, what the flushed writes of the same files alone cost
// at that moment: on a busy disk they dominate and vary most.
//
// The exported functions refuse any caller but the daemon, so this runs the
// operation one layer below them, with a context pointing at temporary files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "filectl/filectl_lists.h"
#include "policy/document_file.h"
#include "policy/rule_operation.h"
#include "sysutil/atomic_file.h"
#include "test_util.h"
#include "vrex_interpreter.h"

using namespace zorva::scene;
using Clock = std::chrono::steady_clock;

namespace {

const InterpreterTable kStandIn{&compileInitPolicy, &deployPolicy, &compileSectionPolicy, &sendPolicy,
                                &modifyDynamicVariable};

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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string pathFor(int i) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "/var/lib/containers/storage/overlay/%08x/diff/etc/conf-%d", i * 2654435761u, i);
    return buf;
}

struct Figures {
    long bytes = 0;
    double addMs = 0;
    double pythonMs = 0;
    double floorMs = 0;  // the crash-safe writes alone
};

// What any crash-safe operation pays on this disk at this moment: the
// document and the policy text replaced (each flushed with its directory)
// and the pending mark's directory flushed.
double writeFloorMs(const std::string &dir, const std::string &doc, const std::string &text) {
    vrex::sys::ReplaceOptions options;
    auto t0 = Clock::now();
    bool ok = vrex::sys::replaceFile(dir + "/floor.json", doc, options).ok() &&
              vrex::sys::replaceFile(dir + "/floor.policy", text, options).ok();
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ok = ok && fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? std::chrono::duration<double, std::milli>(Clock::now() - t0).count() : 0;
}

// One list size: the document with `paths` paths, `runs` additions timed.
bool measure(int paths, int runs, Figures &out) {
    vrex::testing::TempDir dir;
    RuleContext ctx;
    ctx.documentPath = dir.file("zorva_container.json");
    ctx.policyPath = dir.file("zorva_container.policy");
    ctx.pendingMarkPath = ctx.policyPath + ".pending";
    ctx.kernelPolicyStatusPath = dir.file("status");
    ctx.sceneName = "zorva_container";
    ctx.interpreter = &kStandIn;
    PluginManagerLoader loader = systemPluginManagerLoader();
    loader.productInfoPath = dir.file("productinfo");
    loader.defaultDirectory = VREX_BENCH_PLUGINMGR_DIR;
    ctx.pluginManager = &loader;
    vrex::testing::writeFile(ctx.kernelPolicyStatusPath, "0\n");

    auto policy = loadPolicy(VREX_DEFAULT_SCENE_DOCUMENT_PATH);
    if (!policy)
        return false;
    auto *list = findVariable(policy.value(), kFilectlAccessList).value()->value.stringList();
    for (int i = 0; i < paths; ++i)
        list->push_back(pathFor(i));
    if (!savePolicy(ctx.documentPath, policy.value()))
        return false;
    out.bytes = static_cast<long>(vrex::testing::readFile(ctx.documentPath).size());
    // The first addition writes the first policy text (a full deployment).
    if (!changePathRule(ctx, RuleAction::Add, kFilectlAccessList, "/first"))
        return false;

    std::vector<double> ms, floor;
    const std::string docBytes = vrex::testing::readFile(ctx.documentPath);
    const std::string textBytes = vrex::testing::readFile(ctx.policyPath);
    for (int r = 0; r < runs; ++r) {
        std::string path = pathFor(paths + r);
        auto t0 = Clock::now();
        bool ok = changePathRule(ctx, RuleAction::Add, kFilectlAccessList, path).ok();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!ok)
            return false;
        floor.push_back(writeFloorMs(dir.path(), docBytes, textBytes));
    }
    out.addMs = median(ms);
    out.floorMs = median(floor);
    auto py = vrex::testing::runProcess(
        {"python3", "-c", kPython, ctx.documentPath, dir.file("python_out.json"), std::to_string(runs)});
    if (py.exitCode != 0)
        return false;
    out.pythonMs = std::stod(py.out);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    // The "change section" lines go to /dev/null while timing.
    std::fflush(stdout);
    int savedOut = dup(1);
    int devNull = open("/dev/null", O_WRONLY);
    std::vector<std::pair<int, Figures>> results;
    bool ok = true;
    for (int paths : {1000, 10000, 100000}) {
        dup2(devNull, 1);
        Figures f;
        ok = measure(paths, paths >= 100000 ? std::max(3, runs / 3) : runs, f) && ok;
        std::fflush(stdout);
        dup2(savedOut, 1);
        results.emplace_back(paths, f);
    }
    close(devNull);
    close(savedOut);
    if (!ok) {
        std::fprintf(stderr, "an operation failed\n");
        return 1;
    }
    std::printf("add one path to container.filectl.filectl_list (lock, load, change, save with fsync, policy text\n"
                "with fsync, pending mark, plugin manager and interpreter stand-ins), medians of %d runs\n",
                runs);
    std::printf("  %8s %11s %10s %14s %8s %18s\n", "paths", "doc bytes", "add ms", "python ms", "ratio",
                "flushed writes ms");
    for (const auto &[paths, f] : results)
        std::printf("  %8d %11ld %10.3f %14.3f %8.2f %18.3f\n", paths, f.bytes, f.addMs, f.pythonMs,
                    f.addMs / f.pythonMs, f.floorMs);
    const Figures &k10 = results[1].second;
    std::printf("  growth: 10,000 -> 100,000 paths %.1fx (10x the paths); 1,000 -> 10,000 %.1fx\n",
                results[2].second.addMs / k10.addMs, k10.addMs / results[0].second.addMs);
    std::printf("  goal (10,000 paths below 1x the python round trip): %s\n",
                k10.addMs < k10.pythonMs ? "met" : "NOT met");
    return 0;
}

// The converter daemon's resident memory while it follows an audit log full
// of hostile records: each phase below feeds one kind, and the daemon's
// resident set (VmRSS) and its peak so far (VmHWM) are read after it. The
// goal is a peak under 64 MiB whatever the audit log holds.
//
// Between batches the audit log is truncated once the daemon has read it all
// (a marker record's event shows that), so that gigabytes pass through the
// daemon without filling the scratch space.
//
// The daemon writes its diagnostic log at a fixed path, so the benchmark runs
// inside the test sandbox (it re-executes itself there). An optional argument
// names another daemon binary to measure (an older build, say).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr long kGoalKiB = 64 * 1024;
pid_t daemonPid = -1;

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "hostile_memory_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    if (daemonPid > 0)
        ::kill(daemonPid, SIGKILL);
    std::exit(1);
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// VmRSS and VmHWM of the process, in KiB.
std::pair<long, long> memoryOf(pid_t pid) {
    std::istringstream status(readAll("/proc/" + std::to_string(pid) + "/status"));
    long rss = 0, hwm = 0;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0)
            hwm = std::stol(line.substr(6));
    }
    return {rss, hwm};
}

const std::string kId = "3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233";

// An access record of the kernel's shape with the given status word, name
// (as it stands in the line) and container id.
std::string record(std::uint64_t serial, const std::string &name, const std::string &id = kId,
                   const std::string &word = "denied") {
    return "type=VREX_AVC msg=audit(1796638780." + std::to_string(100 + serial % 900) + ":" + std::to_string(serial) +
           "): avc:  " + word + "  { write } for  pid=4121 comm=\"bash\" name=" + name +
           " dev=\"overlay\" ino=1837465 tclass=file container_id=" + id + "\n";
}

class Feeder {
public:
    Feeder(std::string input, std::string output) : input_(std::move(input)), output_(std::move(output)) {
        fd_ = ::open(input_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        out_ = ::open(output_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0 || out_ < 0)
            die("opening " + input_ + " and " + output_);
    }
    void append(const std::string &text) {
        for (std::size_t done = 0; done < text.size();) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0)
                die("writing " + input_);
            done += static_cast<std::size_t>(n);
        }
        fed_ += text.size();
    }
    // Appends a record whose event shows that everything before it was read,
    // and waits for that event.
    void sync() {
        const std::string path = "/bench/marker" + std::to_string(++markers_);
        append(record(markers_, "\"" + path + "\""));
        const std::string needle = "path=" + path + ",";
        auto deadline = Clock::now() + 120s;
        for (;;) {
            // What the daemon wrote since the last look, read once (the
            // events may be large), keeping a needle's length of the end.
            char buf[1 << 16];
            ssize_t n;
            while ((n = ::read(out_, buf, sizeof buf)) > 0) {
                recent_.append(buf, static_cast<std::size_t>(n));
                if (recent_.find(needle) != std::string::npos) {
                    recent_.clear();
                    return;
                }
                if (recent_.size() > needle.size())
                    recent_.erase(0, recent_.size() - needle.size());
            }
            if (Clock::now() > deadline)
                die("no event for " + path + " within 120 s");
            std::this_thread::sleep_for(5ms);
        }
    }
    // Empties the audit log once the daemon has read it all, and waits until
    // the daemon reads it from its start again.
    void truncate() {
        sync();
        if (::ftruncate(fd_, 0) != 0)
            die("truncating " + input_);
        sync();
    }
    std::uint64_t fed() const { return fed_; }

private:
    std::string input_, output_;
    int fd_ = -1;
    int out_ = -1;
    std::uint64_t fed_ = 0;
    std::uint64_t markers_ = 0;
    std::string recent_;
};

struct Phase {
    const char *what;
    int records;
    int perBatch;
    std::function<std::string(int)> line;
};

}  // namespace

int main(int argc, char **argv) {
    if (!std::getenv("VREX_SANDBOX")) {
        std::vector<char *> args = {const_cast<char *>(VREX_SANDBOX_SCRIPT), const_cast<char *>("--")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        die("cannot run the test sandbox " VREX_SANDBOX_SCRIPT);
    }
    const std::string binary = argc > 1 ? argv[1] : VREX_DAEMON_BINARY;
    const char *scratch = std::getenv("VREX_SANDBOX_SCRATCH");
    const std::string dir = std::string(scratch ? scratch : "/tmp") + "/hostile-bench";
    ::mkdir(dir.c_str(), 0755);
    const std::string input = dir + "/audit.log", output = dir + "/events.log", config = dir + "/converter.conf";
    ::close(::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    {
        std::ofstream c(config);
        c << "input_log = " << input << "\noutput_log = " << output << "\ndebug = false\n";
    }

    daemonPid = ::fork();
    if (daemonPid < 0)
        die("fork");
    if (daemonPid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execl(binary.c_str(), binary.c_str(), "--config", config.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    const std::string ready = "Daemon started (pid " + std::to_string(daemonPid) + ")";
    auto deadline = Clock::now() + 10s;
    while (readAll("/var/log/vrex-log-converter.log").find(ready) == std::string::npos) {
        if (Clock::now() > deadline)
            die("the daemon did not start");
        std::this_thread::sleep_for(5ms);
    }

    Feeder feed(input, output);
    const std::string twoMiB(2 << 20, 'p');
    const std::string longest(4095, 'q');
    std::string controls;
    for (int i = 0; i < 4095; ++i)
        controls.push_back(static_cast<char>(1 + i % 31));
    const std::string hexName(10 << 20, 'A');        // a bare hex value of 5 MiB, decoded
    const std::string atLimit(10485760 - 400, 'g');  // lines just under the line limit
    const std::string overLimit(11 << 20, 'x');      // dropped by the line splitter
    const std::vector<Phase> phases = {
        {"1000 ordinary records", 1000, 1000,
         [](int i) { return record(static_cast<std::uint64_t>(i), "\"/etc/f" + std::to_string(i) + "\""); }},
        {"900 records with distinct 2 MiB paths", 900, 50,
         [&](int i) { return record(static_cast<std::uint64_t>(i), "\"/" + std::to_string(i) + twoMiB + "\""); }},
        {"3000 records with distinct 4096-byte paths and ids", 3000, 500,
         [&](int i) {
             std::string n = std::to_string(i);
             return record(static_cast<std::uint64_t>(i), "\"/" + n + longest.substr(n.size()) + "\"",
                           n + std::string(4096 - n.size(), 'c'));
         }},
        {"3000 records with 4096 control bytes as their path", 3000, 500,
         [&](int i) {
             std::string n = std::to_string(i);
             return record(static_cast<std::uint64_t>(i), "\"/" + n + controls.substr(n.size()) + "\"");
         }},
        {"20 records with 10 MiB hexadecimal names", 20, 5,
         [&](int i) { return record(static_cast<std::uint64_t>(i), hexName.substr(0, hexName.size() - 400)); }},
        {"20 records just under the line limit, status word unknown", 20, 5,
         [&](int i) { return record(static_cast<std::uint64_t>(i), "\"/x\" pad=" + atLimit, kId, "granted"); }},
        {"20 lines over the line limit", 20, 5, [&](int) { return overLimit + "\n"; }},
    };

    std::printf("resident memory of %s under hostile audit records (KiB)\n", binary.c_str());
    auto [startRss, startPeak] = memoryOf(daemonPid);
    std::printf("  %-58s %10s %10s %10s\n", "phase", "MiB fed", "VmRSS", "VmHWM");
    std::printf("  %-58s %10s %10ld %10ld\n", "started", "0", startRss, startPeak);
    for (const Phase &phase : phases) {
        const std::uint64_t before = feed.fed();
        auto t0 = Clock::now();
        for (int i = 0; i < phase.records;) {
            std::string batch;
            for (int n = 0; n < phase.perBatch && i < phase.records; ++n, ++i)
                batch += phase.line(i);
            feed.append(batch);
            feed.truncate();
        }
        auto [rss, peak] = memoryOf(daemonPid);
        std::printf("  %-58s %10.0f %10ld %10ld   (%.1f s)\n", phase.what,
                    static_cast<double>(feed.fed() - before) / 1048576.0, rss, peak,
                    std::chrono::duration<double>(Clock::now() - t0).count());
    }
    auto [endRss, peak] = memoryOf(daemonPid);
    ::kill(daemonPid, SIGTERM);
    int status = 0;
    ::waitpid(daemonPid, &status, 0);
    std::printf("peak resident memory %.1f MiB, at the end %.1f MiB (goal < 64 MiB: %s)\n", peak / 1024.0,
                endRss / 1024.0, peak < kGoalKiB ? "met" : "NOT met");
    std::printf("daemon exit status after SIGTERM: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

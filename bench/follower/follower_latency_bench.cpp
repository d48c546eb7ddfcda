// Latency from appending an audit line to its event line appearing in the
// container event log, over 5,000 appends at 1,000 lines a second, measured
// beside a "tail -F | grep --line-buffered" pipeline fed the same way in the
// same run (appends alternate between the two); then the daemon's CPU time
// and context switches over 10 idle seconds, beside the pipeline's.
//
// The daemon runs as shipped, with its saved position on: the position file
// is replaced (after a sync of the event log) about once a second while lines
// flow. The audit logs, the event logs and the position file lie on a disk
// file system (the build tree, or the directory given as the first argument),
// where a sync costs what it costs on a host; the sandbox's scratch space is
// a tmpfs, where it costs nothing.
//
//   follower_latency_bench [DIRECTORY [DAEMON_BINARY]]
//
// The daemon writes its diagnostic log at a fixed path, so the benchmark
// runs inside the test sandbox (it re-executes itself there).
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLines = 5000;
constexpr auto kPeriod = 1ms;
constexpr auto kIdle = 10s;
const char *kContainerId = "3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233";

std::vector<pid_t> children;

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "follower_latency_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    for (pid_t pid : children)
        ::kill(pid, SIGTERM);
    std::exit(1);
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t spawn(const std::vector<std::string> &args, int in, int out) {
    pid_t pid = ::fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        if (in >= 0)
            ::dup2(in, 0);
        if (out >= 0)
            ::dup2(out, 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    children.push_back(pid);
    return pid;
}

// Watches one output file and finds the event line of a given sequence
// number in what was appended since the last look.
class OutputWatch {
public:
    // The daemon writes event lines ("path=/data/f<seq>,"); the pipeline
    // passes the audit line through ("name=\"/data/f<seq>\"").
    OutputWatch(std::string path, bool events) : path_(std::move(path)), events_(events) {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        inotify_ = ::inotify_init1(IN_CLOEXEC);
        if (fd_ < 0 || inotify_ < 0 || ::inotify_add_watch(inotify_, path_.c_str(), IN_MODIFY) < 0)
            die("watching " + path_);
    }
    // Blocks until the line of seq shows up; false after 2 s.
    bool waitFor(int seq) {
        const std::string needle =
            events_ ? "path=/data/f" + std::to_string(seq) + "," : "name=\"/data/f" + std::to_string(seq) + "\"";
        auto deadline = Clock::now() + 2s;
        for (;;) {
            char buf[65536];
            ssize_t n;
            while ((n = ::read(fd_, buf, sizeof buf)) > 0)
                pending_.append(buf, static_cast<std::size_t>(n));
            if (pending_.find(needle) != std::string::npos) {
                pending_.clear();
                return true;
            }
            if (Clock::now() > deadline)
                return false;
            pollfd p = {inotify_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                alignas(inotify_event) char ev[4096];
                if (::read(inotify_, ev, sizeof ev) < 0)
                    die("inotify read");
            }
        }
    }

private:
    std::string path_;
    bool events_;
    int fd_ = -1;
    int inotify_ = -1;
    std::string pending_;
};

std::string auditLine(int seq) {
    return "type=VREX_AVC msg=audit(1796638780.123:" + std::to_string(seq) +
           "): avc:  denied  { write } for  pid=4121 comm=\"bash\" name=\"/data/f" + std::to_string(seq) +
           "\" dev=\"overlay\" ino=1837465 tclass=file container_id=" + kContainerId + "\n";
}

struct Usage {
    double cpuMs = 0;
    long switches = 0;
};

// CPU time of all threads (from /proc/<pid>/stat) and context switches
// summed over the threads (from /proc/<pid>/task/*/status).
Usage usageOf(pid_t pid) {
    Usage u;
    std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return u;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15) {
            stime = std::stoul(field);
            break;
        }
    }
    u.cpuMs = 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *d = ::opendir(taskDir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::istringstream status(readAll(taskDir + "/" + e->d_name + "/status"));
            std::string line;
            while (std::getline(status, line))
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    u.switches += std::stol(line.substr(line.find(':') + 1));
        }
        ::closedir(d);
    }
    return u;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

void appendLine(const std::string &path, const std::string &line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        die("appending to " + path);
    ::close(fd);
}

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
    std::string dir = std::string(argc > 1 ? argv[1] : VREX_BENCH_DISK_DIR) + "/follower-bench";
    ::mkdir(dir.c_str(), 0755);
    const std::string position = dir + "/position";
    ::unlink(position.c_str());
    const std::string daemonIn = dir + "/audit.log", daemonOut = dir + "/events.log";
    const std::string tailIn = dir + "/tail-audit.log", tailOut = dir + "/tail-events.log";
    const std::string config = dir + "/converter.conf";
    for (auto &f : {daemonIn, tailIn, daemonOut, tailOut})
        ::close(::open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    {
        std::ofstream c(config);
        c << "input_log = " << daemonIn << "\noutput_log = " << daemonOut << "\ndebug = false\n"
          << "position_file = " << position << "\n";
    }

    // The daemon, ready once its start line is in the diagnostic log.
    int devnull = ::open("/dev/null", O_RDWR);
    // A second argument names another build of the daemon to measure.
    const std::string binary = argc > 2 ? argv[2] : VREX_DAEMON_BINARY;
    pid_t daemon = spawn({binary, "--config", config}, devnull, devnull);
    const std::string ready = "Daemon started (pid " + std::to_string(daemon) + ")";
    auto deadline = Clock::now() + 10s;
    while (readAll("/var/log/vrex-log-converter.log").find(ready) == std::string::npos) {
        if (Clock::now() > deadline)
            die("the daemon did not start");
        std::this_thread::sleep_for(5ms);
    }

    // The reference: tail -F (inotify) into grep --line-buffered.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        die("pipe");
    int tailOutFd = ::open(tailOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t tail = spawn({"tail", "-n", "0", "-F", tailIn}, devnull, pipeFds[1]);
    pid_t grep = spawn({"grep", "--line-buffered", "container_id="}, pipeFds[0], tailOutFd);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::close(tailOutFd);

    OutputWatch daemonWatch(daemonOut, true), tailWatch(tailOut, false);
    // Warm-up line for each (tail needs a moment to set up its watch).
    std::this_thread::sleep_for(300ms);
    appendLine(daemonIn, auditLine(0));
    appendLine(tailIn, auditLine(0));
    if (!daemonWatch.waitFor(0))
        die("no event from the daemon for the warm-up line");
    if (!tailWatch.waitFor(0))
        die("no output from the pipeline for the warm-up line");

    std::vector<double> daemonUs, tailUs;
    int daemonLate = 0, tailLate = 0;
    auto next = Clock::now();
    for (int seq = 1; seq <= kLines; ++seq) {
        std::this_thread::sleep_until(next);
        next += kPeriod;
        const std::string line = auditLine(seq);
        auto t0 = Clock::now();
        appendLine(daemonIn, line);
        if (daemonWatch.waitFor(seq))
            daemonUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        else
            ++daemonLate;
        t0 = Clock::now();
        appendLine(tailIn, line);
        if (tailWatch.waitFor(seq))
            tailUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        else
            ++tailLate;
    }

    std::this_thread::sleep_for(1s);
    Usage d0 = usageOf(daemon), t0 = usageOf(tail), g0 = usageOf(grep);
    std::this_thread::sleep_for(kIdle);
    Usage d1 = usageOf(daemon), t1 = usageOf(tail), g1 = usageOf(grep);

    ::kill(daemon, SIGTERM);
    ::kill(tail, SIGTERM);
    ::kill(grep, SIGTERM);
    int status = 0;
    ::waitpid(daemon, &status, 0);
    ::waitpid(tail, nullptr, 0);
    ::waitpid(grep, nullptr, 0);

    if (daemonUs.empty() || tailUs.empty())
        die("no latencies measured");
    double dp50 = percentile(daemonUs, 50), dp99 = percentile(daemonUs, 99);
    double tp50 = percentile(tailUs, 50), tp99 = percentile(tailUs, 99);
    std::printf("append-to-event latency, %d appends at 1000/s (microseconds)\n", kLines);
    std::printf("  %-34s p50 %8.1f  p99 %8.1f  p99.9 %8.1f  max %8.1f  missed %d\n", "vrex-log-converter", dp50, dp99,
                percentile(daemonUs, 99.9), *std::max_element(daemonUs.begin(), daemonUs.end()), daemonLate);
    std::printf("  %-34s p50 %8.1f  p99 %8.1f  p99.9 %8.1f  max %8.1f  missed %d\n", "tail -F | grep --line-buffered",
                tp50, tp99, percentile(tailUs, 99.9), *std::max_element(tailUs.begin(), tailUs.end()), tailLate);
    std::printf("  p99 ratio daemon/pipeline: %.2f (goal <= 2.00); p99 goal <= 1000 us: %s\n", dp99 / tp99,
                dp99 <= 1000.0 ? "met" : "NOT met");
    std::printf("idle for %lld s after the run\n", static_cast<long long>(kIdle.count()));
    std::printf("  %-34s cpu %6.1f ms  context switches %ld\n", "vrex-log-converter (all threads)", d1.cpuMs - d0.cpuMs,
                d1.switches - d0.switches);
    std::printf("  %-34s cpu %6.1f ms  context switches %ld\n", "tail -F + grep",
                (t1.cpuMs - t0.cpuMs) + (g1.cpuMs - g0.cpuMs),
                (t1.switches - t0.switches) + (g1.switches - g0.switches));
    std::printf("daemon exit status after SIGTERM: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

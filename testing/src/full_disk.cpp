#include "full_disk.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vrex::testing {

namespace {

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

}  // namespace

ProcessResult runWithFileSizeLimit(rlim_t limit, const std::function<int()> &body) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        int rc = body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(rc == 0 ? 0 : 1);
    }
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult r;
    // The bodies print a few lines, which fit a pipe: draining one pipe
    // after the other cannot leave the child blocked.
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    waitForExit(pid, r);
    return r;
}

SmallTmpfs::SmallTmpfs(const std::string &dir, const std::string &size) : dir_(dir) {
    std::string options = "size=" + size + ",mode=0755";
    if (::mount("vrex-test-full", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0)
        mounted_ = true;
    else
        error_ = std::strerror(errno);
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_)
        ::umount(dir_.c_str());
}

void fillFileSystem(const std::string &path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {}
    // The last bytes: a block no longer fits, a byte may.
    while (::write(fd, "x", 1) > 0) {}
    ::close(fd);
}

}  // namespace vrex::testing

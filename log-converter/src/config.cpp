#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vrex {

namespace {

constexpr size_t kMaxConfigSize = 1 << 20;

std::string_view trim(std::string_view text) {
    const char *blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void warn(std::vector<std::string> *warnings, size_t number, std::string_view line, std::string_view why) {
    if (!warnings)
        return;
    std::string text = "line " + std::to_string(number) + ": " + std::string(why) + ": \"";
    text.append(line).append("\"");
    warnings->push_back(std::move(text));
}

std::string errorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

}  // namespace

Config parseConfig(std::string_view text, std::vector<std::string> *warnings) {
    Config config;
    size_t number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;

        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            warn(warnings, number, line, "ignored, not a \"key = value\" line");
            continue;
        }
        std::string_view key = trim(line.substr(0, eq));
        std::string_view value = trim(line.substr(eq + 1));
        if (key.empty()) {
            warn(warnings, number, line, "ignored, no key before \"=\"");
            continue;
        }
        if (key == "debug") {
            if (value == "true")
                config.debug = true;
            else if (value == "false")
                config.debug = false;
            else
                warn(warnings, number, line, "ignored, debug takes \"true\" or \"false\"");
            continue;
        }
        std::string *target = nullptr;
        if (key == "input_log")
            target = &config.inputLog;
        else if (key == "output_log")
            target = &config.outputLog;
        else if (key == "position_file")
            target = &config.positionFile;
        if (!target) {
            warn(warnings, number, line, "ignored, unknown key");
            continue;
        }
        if (value.empty() && key != "position_file") {
            warn(warnings, number, line, "ignored, empty path");
            continue;
        }
        if (value.find('\0') != std::string_view::npos) {
            warn(warnings, number, line, "ignored, NUL byte in the value");
            continue;
        }
        target->assign(value);
    }
    return config;
}

Config loadConfig(const std::string &path, std::vector<std::string> *warnings) {
    // Not blocking in open: a FIFO nobody writes to must not hold the start
    // up. Reads block again, so a pipe with a writer is read to its end.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto closeFd = [](int *p) { ::close(*p); };
    std::unique_ptr<int, decltype(closeFd)> owner(fd >= 0 ? &fd : nullptr, closeFd);
    if (fd < 0) {
        int err = errno;
        if (err != ENOENT && warnings)
            warnings->push_back("cannot read configuration " + path + ": " + errorText(err) + "; using the defaults");
        return Config{};
    }
    std::string text;
    std::string problem;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        problem = errorText(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "is a directory";
    } else {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                problem = errorText(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > kMaxConfigSize) {
                problem = "larger than 1 MiB";
                break;
            }
        }
    }
    owner.reset();
    if (!problem.empty()) {
        if (warnings)
            warnings->push_back("cannot read configuration " + path + ": " + problem + "; using the defaults");
        return Config{};
    }
    std::vector<std::string> local;
    Config config = parseConfig(text, warnings ? &local : nullptr);
    if (warnings)
        for (auto &w : local)
            warnings->push_back(path + ": " + w);
    return config;
}

}  // namespace vrex

#include "config.h"

#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

// Applies one "key = value" setting to config; the reason it was ignored
// otherwise (nullptr when it was applied).
const char *applySetting(Config &config, std::string_view key, std::string_view value) {
    if (key == "debug") {
        if (value == "true")
            config.debug = true;
        else if (value == "false")
            config.debug = false;
        else
            return "ignored, debug takes \"true\" or \"false\"";
        return nullptr;
    }
    std::string *target = nullptr;
    if (key == "input_log")
        target = &config.inputLog;
    else if (key == "output_log")
        target = &config.outputLog;
    else if (key == "position_file")
        target = &config.positionFile;
    if (!target)
        return "ignored, unknown key";
    if (value.empty() && key != "position_file")
        return "ignored, empty path";
    if (value.find('\0') != std::string_view::npos)
        return "ignored, NUL byte in the value";
    target->assign(value);
    return nullptr;
}

// Reads the whole file into *text; the problem when it cannot ("" when the
// file is absent, which *missing then says).
std::string readConfigText(const std::string &path, std::string *text, bool *missing) {
    *missing = false;
    // Not blocking in open: a FIFO nobody writes to must not hold the start
    // up. Reads block again, so a pipe with a writer is read to its end.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        *missing = errno == ENOENT;
        return *missing ? std::string() : errorText(errno);
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return errorText(errno);
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (!readUpTo(fd.get(), kMaxConfigSize, text))
        return errorText(errno);
    if (text->size() > kMaxConfigSize)
        return "larger than 1 MiB";
    return {};
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
        if (key.empty()) {
            warn(warnings, number, line, "ignored, no key before \"=\"");
            continue;
        }
        if (const char *why = applySetting(config, key, trim(line.substr(eq + 1))))
            warn(warnings, number, line, why);
    }
    return config;
}

Config loadConfig(const std::string &path, std::vector<std::string> *warnings) {
    std::string text;
    bool missing = false;
    std::string problem = readConfigText(path, &text, &missing);
    if (missing)
        return Config{};
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

// The daemon's configuration: "key = value" lines, "#" comments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vrex {

inline constexpr const char *kDefaultConfigPath = "/etc/vrex/vrex-log-converter.conf";
inline constexpr const char *kDiagnosticLogPath = "/var/log/vrex-log-converter.log";

struct Config {
    std::string inputLog = "/var/log/vrex_audit.log";
    std::string outputLog = "/var/log/zorva_container.log";
    bool debug = false;
    // Where the follower saves its position; empty: no saved position.
    std::string positionFile;
};

// Parses configuration text. Unknown keys and malformed lines are skipped;
// each adds a message naming the line to *warnings (when given).
Config parseConfig(std::string_view text, std::vector<std::string> *warnings);

// Reads and parses the file; a missing file gives the defaults. A file that
// exists but cannot be read adds a warning and gives the defaults.
Config loadConfig(const std::string &path, std::vector<std::string> *warnings);

}  // namespace vrex

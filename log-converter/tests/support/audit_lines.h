// Audit lines for the daemon's suites, and the event lines they become.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vrex::testing {

inline constexpr const char *kContainerId = "3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233";
// Seconds of the records' audit time: Dec 07 10:19:40 2026, UTC.
inline constexpr const char *kStamp = "1796638780";
inline constexpr const char *kStampText = "Dec 07 10:19:40";
// The longest line the daemon keeps, in either mode.
inline constexpr std::size_t kLineLimit = 10485760;

// A container access record; name as it stands in the line (quotes included).
std::string avcLine(const std::string &id, const std::string &op = "write", const std::string &name = "\"/etc/passwd\"",
                    const std::string &word = "denied", const std::string &stamp = std::string(kStamp) + ".123");
// A container network record; proc as it stands in the line.
std::string netLine(const std::string &id, const std::string &proc = "\"/usr/bin/curl\"",
                    const std::string &word = "denied");
// The event line (without its newline) of a record at kStamp, UTC.
std::string eventLine(const std::string &id, const std::string &event, const std::string &path,
                      const std::string &status = "enforcing");

// A container denial whose event line names /data/f<seq>: unique per
// sequence number, so the converter's repeat filter never merges two.
std::string containerLine(std::uint64_t seq);
// An audit line of another kind, which must produce nothing.
std::string noiseLine(std::uint64_t seq);

// Sequence number -> how often its event line occurs in the text. Any line
// that is not exactly an event line of containerLine() is described in
// *problems (NUL bytes included).
std::map<std::uint64_t, int> eventsIn(const std::string &text, std::string *problems);

}  // namespace vrex::testing

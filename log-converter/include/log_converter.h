// Turns one audit log line into one container event line, or into nothing:
// keeps container records of the two kernel record types, classifies them,
// drops repeats, and renders the event line. Fields are taken only where the
// kernel's own fields start, never from text inside another field's value,
// and the values are escaped in the event line, so a process inside a
// container cannot forge or garble its events through the names it chooses.
#pragma once

#include "key_digest.h"
#include "warning_limit.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vrex {

class Logger;
class AuditRecord;

class LogConverter {
public:
    struct ParseResult {
        std::string timestamp;  // "%b %d %H:%M:%S", local time
        std::string containerId;
        int eventType = 0;   // 0 unknown, 1 exectl, 2 filectl, 3 netctl
        int statusType = 0;  // 0 unknown, 1 enforcing, 2 permissive
        std::string path;
        bool valid = false;
    };

    static LogConverter &getInstance();

    static void setDebugMode(bool enabled) { debugMode_.store(enabled, std::memory_order_relaxed); }

    bool shouldProcess(std::string_view line) const;
    ParseResult parseLine(std::string_view line);
    std::string extractField(std::string_view line, std::string_view name) const;
    std::string extractQuotedField(std::string_view line, std::string_view name) const;
    int determineEventType(std::string_view type, std::string_view operation);
    int determineStatusType(std::string_view line);
    std::string convertTimestamp(std::string_view text);
    std::string generateLogHash(const ParseResult &result) const;
    std::string convertToOutputFormat(const ParseResult &result);

    // The same as parseLine and convertToOutputFormat, but filling objects the
    // caller keeps from line to line, so that their storage is reused.
    void parseLineInto(std::string_view line, ParseResult &result);
    // False (out unspecified) when nothing is to be written.
    bool convertInto(const ParseResult &result, std::string &out);

    // Lines dropped as repeats since the process started.
    uint64_t duplicateCount() const { return duplicates_; }

    // The duplicate cache as it stands, and its replacement by a saved one:
    // a process restarted after a crash decides the lines it reads again
    // exactly as the crashed one did. restoreCache refuses (false, cache
    // untouched) a state the cache could not have been in.
    DuplicateCacheState cacheState() const;
    bool restoreCache(const DuplicateCacheState &state);
    // Empties the cache under a new random key: the state a start begins with.
    void startAfresh();

    LogConverter(const LogConverter &) = delete;
    LogConverter &operator=(const LogConverter &) = delete;

private:
    LogConverter();
    ~LogConverter() = default;

    // DEBUG text is built only when both this class and the logger keep it.
    bool tracing() const;
    // A DEBUG entry made of parts, written (and its text built) only when
    // trace_ is set. Each public entry sets trace_ from tracing() once, so
    // that the steps of a line test one flag.
    void trace(std::initializer_list<std::string_view> parts) const {
        if (trace_)
            writeTrace(parts);
    }
    void writeTrace(std::initializer_list<std::string_view> parts) const;
    int statusTypeOf(AuditRecord &record);

    // The steps of parseLineInto, in order; each traces what it found, and
    // a false return ends the parse with an invalid result.
    void parseSteps(std::string_view line, ParseResult &result);
    bool takeContainerId(AuditRecord &record, ParseResult &result);
    bool takeTimestamp(AuditRecord &record, ParseResult &result);
    bool takePath(AuditRecord &record, std::string_view type, ParseResult &result);
    // Leaves the lowered operation in operation_.
    void takeOperation(AuditRecord &record);
    std::string_view timestampView(std::string_view text);
    int eventTypeOfLowered(std::string_view type, std::string_view loweredOperation);
    void buildKey(const ParseResult &result, std::string &key) const;
    // Looks the result's key up in the duplicate cache, adding it when new.
    bool isRepeat(const ParseResult &result);
    bool sameAsLastKey(const ParseResult &result) const;
    // A record skipped as forged: a WARN, within the limit.
    void warnSkipped(WarningLimit &limit, std::string_view why, std::string_view line);

    static inline std::atomic<bool> debugMode_{false};

    Logger &logger_;
    bool trace_ = false;
    KeyDigester digester_;
    DigestSet seen_;
    uint64_t duplicates_ = 0;
    WarningLimit ambiguousWarnings_;
    WarningLimit overlongWarnings_;

    // The last key looked up, while the cache holds it: a run of repeats of
    // one event is told without a digest.
    std::string lastKey_;
    bool lastKeyCached_ = false;

    // Buffers reused from line to line.
    mutable std::vector<uint64_t> quotes_;
    std::string key_;
    std::string operation_;
    std::string word_;
    std::string decoded_;

    // The last second converted to local time, and its text.
    bool haveCachedSecond_ = false;
    int64_t cachedSecond_ = 0;
    char cachedText_[256] = {};
    size_t cachedLength_ = 0;
    // The text whose number gave that second (empty when too long to keep).
    char cachedRaw_[32] = {};
    size_t cachedRawLength_ = 0;
};

}  // namespace vrex

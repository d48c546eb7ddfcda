#include "log_converter.h"

#include "logger.h"

#include "audit_record.h"
#include "event_text.h"
#include "text_search.h"

#include <cstring>
#include <ctime>
#include <exception>
#include <initializer_list>

namespace vrex {

namespace {

using text::findChar;
using text::npos;

constexpr size_t kCacheLimit = kDuplicateCacheLimit;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsLowered(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (lowerAscii(text[i]) != lower[i])
            return false;
    return true;
}

void lowerInto(std::string_view text, std::string &out) {
    out.resize(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = lowerAscii(text[i]);
}

// The value of the first "type=" field: up to the next space or the end of
// the line.
bool typeValue(AuditRecord &record, std::string_view &type) {
    size_t at = record.findField("type=");
    if (at == npos)
        return false;
    std::string_view line = record.line();
    size_t start = at + 5;
    size_t end = findChar(line, ' ', start);
    type = line.substr(start, end == npos ? npos : end - start);
    return true;
}

// The object path of an access record: the first "name=" field, quoted up
// to the closing quote, or bare up to the next space.
std::string_view avcPath(AuditRecord &record, bool *quoted) {
    *quoted = false;
    size_t at = record.findField("name=");
    if (at == npos)
        return {};
    std::string_view line = record.line();
    size_t start = at + 5;
    if (start < line.size() && line[start] == '"') {
        *quoted = true;
        size_t close = findChar(line, '"', start + 1);
        if (close == npos)
            return {};
        return line.substr(start + 1, close - start - 1);
    }
    size_t end = findChar(line, ' ', start);
    if (start >= line.size())
        return {};
    return line.substr(start, end == npos ? npos : end - start);
}

// The start of a logged excerpt of a hostile line, escaped.
std::string excerpt(std::string_view line) {
    constexpr size_t kExcerpt = 256;
    std::string text = escaped(line.substr(0, kExcerpt));
    if (line.size() > kExcerpt)
        text.append("...");
    return text;
}

// The leading number of text; *used is how many bytes it took.
bool parseSeconds(std::string_view text, int64_t &value, size_t *used) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate as a negative number so that the most negative value fits.
    int64_t acc = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        int d = text[i] - '0';
        if (acc < (INT64_MIN + d) / 10)
            return false;
        acc = acc * 10 - d;
    }
    if (digits == 0)
        return false;
    if (!negative) {
        if (acc == INT64_MIN)
            return false;
        acc = -acc;
    }
    value = acc;
    *used = i;
    return true;
}

const char *eventName(int type) {
    switch (type) {
    case 1:
        return "exectl";
    case 2:
        return "filectl";
    case 3:
        return "netctl";
    default:
        return nullptr;
    }
}

const char *statusName(int type) {
    switch (type) {
    case 1:
        return "enforcing";
    case 2:
        return "permissive";
    default:
        return nullptr;
    }
}

// The raw time of the "msg=audit(<time>:<serial>)" field: from after
// "audit(" to the first colon, or to the first closing parenthesis when there
// is no colon.
std::string_view rawTimestamp(AuditRecord &record) {
    size_t msg = record.findField("msg=");
    std::string_view line = record.line();
    if (msg == npos || line.substr(msg + 4, 6) != "audit(")
        return {};
    size_t start = msg + 10;
    size_t end = findChar(line, ':', start);
    if (end == npos)
        end = findChar(line, ')', start);
    return end == npos ? std::string_view() : line.substr(start, end - start);
}

// The word after "avc:" (start is just past it): blanks and tabs skipped,
// up to the next blank, tab or colon.
std::string_view statusWord(std::string_view line, size_t start) {
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
        ++start;
    size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != ':')
        ++end;
    return line.substr(start, end - start);
}

// The text of an event or status kind (0 to 9), without building a string.
std::string_view kindNumber(int kind) {
    constexpr std::string_view digits = "0123456789";
    return kind >= 0 && kind <= 9 ? digits.substr(static_cast<size_t>(kind), 1) : std::string_view("?");
}

std::string concat(std::initializer_list<std::string_view> parts) {
    size_t total = 0;
    for (auto p : parts)
        total += p.size();
    std::string text;
    text.reserve(total);
    for (auto p : parts)
        text.append(p);
    return text;
}

}  // namespace

LogConverter &LogConverter::getInstance() {
    static LogConverter instance;
    return instance;
}

LogConverter::LogConverter() : logger_(Logger::getInstance()), seen_(kCacheLimit) {
    logger_.log(Logger::INFO, "LogConverter initialized");
}

bool LogConverter::tracing() const { return debugMode_.load(std::memory_order_relaxed) && logger_.isDebugEnabled(); }

bool LogConverter::shouldProcess(std::string_view line) const {
    AuditRecord record(line, quotes_);
    std::string_view type;
    if (!typeValue(record, type))
        return false;
    return type == "VREX_AVC" || type == "VREX_NETCTL";
}

std::string LogConverter::extractField(std::string_view line, std::string_view name) const {
    std::string key;
    key.reserve(name.size() + 1);
    key.append(name).push_back('=');
    AuditRecord record(line, quotes_);
    size_t at = record.findField(key);
    if (at == npos)
        return {};
    bool quoted;
    return std::string(fieldValueAt(line, at + key.size(), &quoted));
}

std::string LogConverter::extractQuotedField(std::string_view line, std::string_view name) const {
    return extractField(line, name);
}

void LogConverter::writeTrace(std::initializer_list<std::string_view> parts) const {
    logger_.log(Logger::DEBUG, concat(parts));
}

int LogConverter::eventTypeOfLowered(std::string_view type, std::string_view op) {
    if (equalsLowered(type, "vrex_netctl")) {
        trace({"Type is VREX_NETCTL -> netctl"});
        return 3;
    }
    if (equalsLowered(type, "vrex_avc")) {
        if (op.find("exec") != npos || op.find("interpret") != npos) {
            trace({"Operation is exec/interpret -> exectl"});
            return 1;
        }
        if (op.find("write") != npos || op.find("truncate") != npos || op.find("setattr") != npos ||
            op.find("unlink") != npos || op.find("rename") != npos) {
            trace({"Operation is write/truncate/setattr/unlink/rename -> filectl"});
            return 2;
        }
    }
    trace({"Unsupported type: ", type});
    return 0;
}

int LogConverter::determineEventType(std::string_view type, std::string_view operation) {
    trace_ = tracing();
    std::string lowered;
    lowerInto(operation, lowered);
    return eventTypeOfLowered(type, lowered);
}

int LogConverter::determineStatusType(std::string_view line) {
    trace_ = tracing();
    AuditRecord record(line, quotes_);
    return statusTypeOf(record);
}

int LogConverter::statusTypeOf(AuditRecord &record) {
    std::string_view line = record.line();
    size_t at = record.findOutside("avc:");
    if (at == npos) {
        trace({"No 'avc:' found in line"});
        return 0;
    }
    std::string_view word = statusWord(line, at + 4);
    trace({"Extracted status word: ", word});
    lowerInto(word, word_);
    std::string_view lowered = word_;
    if (lowered.find("denied") != npos) {
        trace({"Status mapping (contains denied): ", lowered, " -> enforcing"});
        return 1;
    }
    if (lowered.find("detect") != npos) {
        trace({"Status mapping (contains detect): ", lowered, " -> permissive"});
        return 2;
    }
    logger_.log(Logger::ERROR,
                concat({"Unexpected status word (neither denied nor detect): ", lowered, " in line: ", line}));
    return 0;
}

std::string_view LogConverter::timestampView(std::string_view text) {
    // The number that gave the cached second, followed by no further digit,
    // gives it again: most lines share their second with the line before.
    const size_t rawLength = cachedRawLength_;
    if (rawLength > 0 && text.size() >= rawLength && std::memcmp(text.data(), cachedRaw_, rawLength) == 0 &&
        (text.size() == rawLength || text[rawLength] < '0' || text[rawLength] > '9'))
        return {cachedText_, cachedLength_};
    int64_t seconds;
    size_t used;
    if (!parseSeconds(text, seconds, &used))
        return {};
    if (seconds > 10000000000LL)
        seconds /= 1000;
    if (haveCachedSecond_ && seconds == cachedSecond_)
        return {cachedText_, cachedLength_};
    time_t t = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&t, &local))
        return {};
    size_t length = strftime(cachedText_, sizeof cachedText_, "%b %d %H:%M:%S", &local);
    haveCachedSecond_ = true;
    cachedSecond_ = seconds;
    cachedLength_ = length;
    cachedRawLength_ = used <= sizeof cachedRaw_ ? used : 0;
    std::memcpy(cachedRaw_, text.data(), cachedRawLength_);
    return {cachedText_, cachedLength_};
}

std::string LogConverter::convertTimestamp(std::string_view text) { return std::string(timestampView(text)); }

LogConverter::ParseResult LogConverter::parseLine(std::string_view line) {
    ParseResult result;
    parseLineInto(line, result);
    return result;
}

void LogConverter::parseLineInto(std::string_view line, ParseResult &result) {
    // A line ending in CR LF ends where the LF does.
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    result.timestamp.clear();
    result.containerId.clear();
    result.path.clear();
    result.eventType = 0;
    result.statusType = 0;
    result.valid = false;
    trace_ = tracing();
    try {
        parseSteps(line, result);
    } catch (const std::exception &e) {
        result.valid = false;
        try {
            logger_.log(Logger::ERROR, concat({"Exception in parseLine: ", e.what()}));
        } catch (...) {}
    }
}

void LogConverter::parseSteps(std::string_view line, ParseResult &result) {
    trace({"Parsing line: ", line});
    AuditRecord record(line, quotes_);
    std::string_view type;
    if (!typeValue(record, type) || (type != "VREX_AVC" && type != "VREX_NETCTL")) {
        trace({"Line should not be processed"});
        return;
    }
    if (!takeContainerId(record, result) || !takeTimestamp(record, result))
        return;
    trace({"Type: ", type});
    if (!takePath(record, type, result))
        return;
    takeOperation(record);
    trace({"Operation: ", operation_});

    result.eventType = eventTypeOfLowered(type, operation_);
    if (result.eventType == 0) {
        trace({"Unknown event type: type=", type, ", operation=", operation_});
        return;
    }
    result.statusType = statusTypeOf(record);
    if (result.statusType == 0) {
        trace({"Unknown status"});
        return;
    }
    result.valid = true;
    if (trace_)
        trace({"Parse successful - container_id: ", escaped(result.containerId), ", type: ", type,
               ", event: ", kindNumber(result.eventType), ", path: ", escaped(result.path),
               ", status: ", kindNumber(result.statusType)});
}

void LogConverter::warnSkipped(WarningLimit &limit, std::string_view why, std::string_view line) {
    uint64_t held = 0;
    if (!limit.allow(&held))
        return;
    std::string text = concat({"Skipping a record ", why, ": ", excerpt(line)});
    if (held > 0)
        text.append(" (and " + std::to_string(held) + " more since the last such warning)");
    logger_.log(Logger::WARN, text);
}

inline bool LogConverter::takeContainerId(AuditRecord &record, ParseResult &result) {
    constexpr std::string_view key = "container_id=";
    size_t at = record.findField(key);
    if (at == npos) {
        trace({"container_id field not found in log, skipping"});
        return false;
    }
    bool quoted;
    size_t valueEnd;
    std::string_view line = record.line();
    std::string_view id = fieldValueAt(line, at + key.size(), &quoted, &valueEnd);
    // Two of them: which container the record is about cannot be told. (A
    // second one starts after the first one's value, if at all.)
    if (record.findField(key, valueEnd) != npos) {
        warnSkipped(ambiguousWarnings_, "with more than one container_id field", line);
        return false;
    }
    if (id.empty()) {
        trace({"container_id field not found in log, skipping"});
        return false;
    }
    if (id.size() > kMaxValueBytes) {
        warnSkipped(overlongWarnings_, "whose container_id is longer than 4096 bytes", record.line());
        return false;
    }
    result.containerId.assign(id);
    if (trace_)
        trace({"Container ID from container_id field: ", escaped(id)});
    return true;
}

inline bool LogConverter::takeTimestamp(AuditRecord &record, ParseResult &result) {
    std::string_view raw = rawTimestamp(record);
    if (raw.empty()) {
        trace({"No timestamp found"});
        return false;
    }
    std::string_view stamp = timestampView(raw);
    if (stamp.empty()) {
        trace({"Failed to convert timestamp"});
        return false;
    }
    result.timestamp.assign(stamp);
    trace({"Converted timestamp: ", stamp});
    return true;
}

inline bool LogConverter::takePath(AuditRecord &record, std::string_view type, ParseResult &result) {
    std::string_view path;
    bool quoted = false;
    if (type == "VREX_NETCTL") {
        constexpr std::string_view key = "proc_path=";
        size_t at = record.findField(key);
        if (at != npos)
            path = fieldValueAt(record.line(), at + key.size(), &quoted);
    } else if (type == "VREX_AVC") {
        path = avcPath(record, &quoted);
    }
    // A bare hexadecimal value is the kernel's writing of a name with
    // blanks, quotes or unusual bytes; a quoted value is never decoded.
    const bool hex = !quoted && isHexValue(path);
    if ((hex ? path.size() / 2 : path.size()) > kMaxValueBytes) {
        warnSkipped(overlongWarnings_, "whose path is longer than 4096 bytes", record.line());
        return false;
    }
    if (hex) {
        decodeHex(path, &decoded_);
        path = decoded_;
    }
    if (path.empty()) {
        trace({"No path found"});
        return false;
    }
    if (trace_ && type == "VREX_NETCTL")
        trace({"NETCTL path extracted from proc_path: ", escaped(path)});
    result.path.assign(path);
    if (trace_)
        trace({"Path: ", escaped(path)});
    return true;
}

inline void LogConverter::takeOperation(AuditRecord &record) {
    // What stands between the first braces outside quoted values, blanks
    // left out, lower-cased.
    operation_.clear();
    std::string_view line = record.line();
    size_t open = record.findCharOutside('{');
    if (open == npos)
        return;
    size_t close = record.findCharOutside('}', open + 1);
    if (close == npos)
        return;
    for (size_t i = open + 1; i < close; ++i)
        if (!isSpace(line[i]))
            operation_.push_back(lowerAscii(line[i]));
}

void LogConverter::buildKey(const ParseResult &result, std::string &key) const {
    std::string_view stamp = std::string_view(result.timestamp).substr(0, 16);
    key.clear();
    key.reserve(result.containerId.size() + result.path.size() + stamp.size() + 2);
    key.append(result.containerId).append("|").append(result.path).append("|").append(stamp);
}

std::string LogConverter::generateLogHash(const ParseResult &result) const {
    std::string key;
    if (result.valid)
        buildKey(result, key);
    return key;
}

bool LogConverter::sameAsLastKey(const ParseResult &result) const {
    // Equal to the key id|path|stamp built whole, compared piece by piece.
    std::string_view stamp = std::string_view(result.timestamp).substr(0, 16);
    std::string_view last = lastKey_;
    const std::string_view id = result.containerId, path = result.path;
    return lastKeyCached_ && last.size() == id.size() + path.size() + stamp.size() + 2 &&
           last.substr(0, id.size()) == id && last[id.size()] == '|' &&
           last.substr(id.size() + 1, path.size()) == path && last[id.size() + 1 + path.size()] == '|' &&
           last.substr(id.size() + path.size() + 2) == stamp;
}

bool LogConverter::isRepeat(const ParseResult &result) {
    if (sameAsLastKey(result))
        return true;
    buildKey(result, key_);
    const KeyDigest digest = digester_.digest(key_);
    key_.swap(lastKey_);
    lastKeyCached_ = true;
    if (seen_.contains(digest))
        return true;
    seen_.insert(digest);
    if (seen_.size() > kCacheLimit) {
        seen_.clear();
        lastKeyCached_ = false;
        trace({"Cleared duplicate cache (size limit reached)"});
    }
    return false;
}

bool LogConverter::convertInto(const ParseResult &result, std::string &out) {
    if (!result.valid)
        return false;
    trace_ = tracing();
    if (isRepeat(result)) {
        ++duplicates_;
        if (logger_.isDebugEnabled()) {
            buildKey(result, key_);
            logger_.log(Logger::DEBUG, concat({"Skipping duplicate log entry: ", escaped(key_)}));
        }
        return false;
    }
    const char *event = eventName(result.eventType);
    const char *status = statusName(result.statusType);
    if (!event || !status)
        return false;
    out.clear();
    out.append(result.timestamp).append(",container_id=");
    appendEscaped(&out, result.containerId);
    out.append(",Event=").append(event).append(",path=");
    appendEscaped(&out, result.path);
    out.append(",status=").append(status);
    trace({"Output: ", out});
    return true;
}

DuplicateCacheState LogConverter::cacheState() const { return {digester_.key(), seen_.digests()}; }

bool LogConverter::restoreCache(const DuplicateCacheState &state) {
    DigestSet restored(kCacheLimit);
    for (const KeyDigest &digest : state.digests) {
        if (restored.size() == kCacheLimit || restored.contains(digest))
            return false;
        restored.insert(digest);
    }
    seen_ = std::move(restored);
    digester_ = KeyDigester(state.key);
    lastKeyCached_ = false;
    return true;
}

void LogConverter::startAfresh() {
    seen_.clear();
    digester_ = KeyDigester();
    lastKeyCached_ = false;
}

std::string LogConverter::convertToOutputFormat(const ParseResult &result) {
    std::string line;
    if (!convertInto(result, line))
        line.clear();
    return line;
}

}  // namespace vrex

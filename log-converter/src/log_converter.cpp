#include "log_converter.h"

#include "logger.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <ctime>
#include <exception>
#include <initializer_list>

namespace vrex {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr size_t kCacheLimit = 1000;

// Substring search. On x86-64, 16 or 32 positions at a time are tested for
// the needle's first and last byte, and only those that match both are
// compared in full: on audit lines this is several times faster than memmem.
#if defined(__x86_64__)
__attribute__((target("avx2"))) size_t findWide(const char *s, size_t len, std::string_view needle) {
    const size_t n = needle.size();
    const __m256i first = _mm256_set1_epi8(needle[0]);
    const __m256i last = _mm256_set1_epi8(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + 32 <= len; i += 32) {
        __m256i blockFirst = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i blockLast = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + n - 1));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(blockFirst, first), _mm256_cmpeq_epi8(blockLast, last))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(s + i + bit + 1, needle.data() + 1, n - 2) == 0)
                return i + bit;
            mask &= mask - 1;
        }
    }
    for (; i + n <= len; ++i)
        if (s[i] == needle[0] && std::memcmp(s + i, needle.data(), n) == 0)
            return i;
    return npos;
}

size_t findNarrow(const char *s, size_t len, std::string_view needle) {
    const size_t n = needle.size();
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + 16 <= len; i += 16) {
        __m128i blockFirst = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        __m128i blockLast = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + n - 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(blockFirst, first), _mm_cmpeq_epi8(blockLast, last))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(s + i + bit + 1, needle.data() + 1, n - 2) == 0)
                return i + bit;
            mask &= mask - 1;
        }
    }
    for (; i + n <= len; ++i)
        if (s[i] == needle[0] && std::memcmp(s + i, needle.data(), n) == 0)
            return i;
    return npos;
}

// Set while static objects are constructed, which may be before the CPU
// model has been read on its own: read it first.
const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// Index of the first blank, tab, comma or colon, 32 bytes at a time.
__attribute__((target("avx2"))) size_t bareEndWide(const char *s, size_t len) {
    const __m256i blank = _mm256_set1_epi8(' '), tab = _mm256_set1_epi8('\t');
    const __m256i comma = _mm256_set1_epi8(','), colon = _mm256_set1_epi8(':');
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b, blank), _mm256_cmpeq_epi8(b, tab)),
                                      _mm256_or_si256(_mm256_cmpeq_epi8(b, comma), _mm256_cmpeq_epi8(b, colon)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask != 0)
            return i + static_cast<unsigned>(__builtin_ctz(mask));
    }
    return i;
}
#endif

// End of a bare field value: the first blank, tab, comma or colon at or
// after start, or the end of the line.
size_t bareEnd(std::string_view line, size_t start) {
    size_t end = start;
#if defined(__x86_64__)
    if (kHaveAvx2)
        end += bareEndWide(line.data() + start, line.size() - start);
#endif
    while (end < line.size()) {
        char c = line[end];
        if (c == ' ' || c == '\t' || c == ',' || c == ':')
            break;
        ++end;
    }
    return end;
}

size_t findText(std::string_view hay, std::string_view needle, size_t from = 0) {
    if (from > hay.size())
        return npos;
    const char *s = hay.data() + from;
    const size_t len = hay.size() - from;
    if (needle.empty())
        return from;
    if (len < needle.size())
        return npos;
    size_t at;
#if defined(__x86_64__)
    if (needle.size() >= 2)
        at = kHaveAvx2 ? findWide(s, len, needle) : findNarrow(s, len, needle);
    else
#endif
        at = std::string_view(s, len).find(needle);
    return at == npos ? npos : from + at;
}

size_t findChar(std::string_view hay, char c, size_t from = 0) {
    if (from >= hay.size())
        return npos;
    const void *hit = memchr(hay.data() + from, c, hay.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char *>(hit) - hay.data()) : npos;
}

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

// The value of the first "type=": up to the next space or the end of the line.
bool typeValue(std::string_view line, std::string_view &type) {
    size_t at = findText(line, "type=");
    if (at == npos)
        return false;
    size_t start = at + 5;
    size_t end = findChar(line, ' ', start);
    type = line.substr(start, end == npos ? npos : end - start);
    return true;
}

// The value after the first occurrence of key (which ends with '='): a quoted
// value up to its closing quote, or a bare value up to a blank, comma or colon.
std::string_view fieldValue(std::string_view line, std::string_view key) {
    size_t at = findText(line, key);
    if (at == npos)
        return {};
    size_t start = at + key.size();
    if (start >= line.size())
        return {};
    if (line[start] == '"') {
        ++start;
        if (start >= line.size())
            return {};
        size_t close = findChar(line, '"', start);
        if (close == npos)
            return {};
        return line.substr(start, close - start);
    }
    return line.substr(start, bareEnd(line, start) - start);
}

// The object path of an access record: the first "name=", quoted up to the
// closing quote, or bare up to the next space.
std::string_view avcPath(std::string_view line) {
    size_t at = findText(line, "name=");
    if (at == npos)
        return {};
    size_t start = at + 5;
    if (start < line.size() && line[start] == '"') {
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

bool parseSeconds(std::string_view text, int64_t &value) {
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

LogConverter::LogConverter() : logger_(Logger::getInstance()) {
    seen_.reserve(2 * kCacheLimit);
    logger_.log(Logger::INFO, "LogConverter initialized");
}

bool LogConverter::tracing() const { return debugMode_.load(std::memory_order_relaxed) && logger_.isDebugEnabled(); }

bool LogConverter::shouldProcess(std::string_view line) const {
    std::string_view type;
    if (!typeValue(line, type))
        return false;
    return type == "VREX_AVC" || type == "VREX_NETCTL";
}

std::string LogConverter::extractField(std::string_view line, std::string_view name) const {
    std::string key;
    key.reserve(name.size() + 1);
    key.append(name).push_back('=');
    return std::string(fieldValue(line, key));
}

std::string LogConverter::extractQuotedField(std::string_view line, std::string_view name) const {
    return extractField(line, name);
}

int LogConverter::eventTypeOfLowered(std::string_view type, std::string_view op) {
    bool trace = tracing();
    if (equalsLowered(type, "vrex_netctl")) {
        if (trace)
            logger_.log(Logger::DEBUG, "Type is VREX_NETCTL -> netctl");
        return 3;
    }
    if (equalsLowered(type, "vrex_avc")) {
        if (op.find("exec") != npos || op.find("interpret") != npos) {
            if (trace)
                logger_.log(Logger::DEBUG, "Operation is exec/interpret -> exectl");
            return 1;
        }
        if (op.find("write") != npos || op.find("truncate") != npos || op.find("setattr") != npos ||
            op.find("unlink") != npos || op.find("rename") != npos) {
            if (trace)
                logger_.log(Logger::DEBUG, "Operation is write/truncate/setattr/unlink/rename -> filectl");
            return 2;
        }
    }
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Unsupported type: ", type}));
    return 0;
}

int LogConverter::determineEventType(std::string_view type, std::string_view operation) {
    std::string lowered;
    lowerInto(operation, lowered);
    return eventTypeOfLowered(type, lowered);
}

int LogConverter::determineStatusType(std::string_view line) {
    bool trace = tracing();
    size_t at = findText(line, "avc:");
    if (at == npos) {
        if (trace)
            logger_.log(Logger::DEBUG, "No 'avc:' found in line");
        return 0;
    }
    size_t start = at + 4;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
        ++start;
    size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != ':')
        ++end;
    std::string_view word = line.substr(start, end - start);
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Extracted status word: ", word}));
    lowerInto(word, word_);
    std::string_view lowered = word_;
    if (lowered.find("denied") != npos) {
        if (trace)
            logger_.log(Logger::DEBUG, concat({"Status mapping (contains denied): ", lowered, " -> enforcing"}));
        return 1;
    }
    if (lowered.find("detect") != npos) {
        if (trace)
            logger_.log(Logger::DEBUG, concat({"Status mapping (contains detect): ", lowered, " -> permissive"}));
        return 2;
    }
    logger_.log(Logger::ERROR,
                concat({"Unexpected status word (neither denied nor detect): ", lowered, " in line: ", line}));
    return 0;
}

std::string_view LogConverter::timestampView(std::string_view text) {
    int64_t seconds;
    if (!parseSeconds(text, seconds))
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
    return {cachedText_, cachedLength_};
}

std::string LogConverter::convertTimestamp(std::string_view text) { return std::string(timestampView(text)); }

LogConverter::ParseResult LogConverter::parseLine(std::string_view line) {
    ParseResult result;
    parseLineInto(line, result);
    return result;
}

void LogConverter::parseLineInto(std::string_view line, ParseResult &result) {
    result.timestamp.clear();
    result.containerId.clear();
    result.path.clear();
    result.eventType = 0;
    result.statusType = 0;
    result.valid = false;
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
    bool trace = tracing();
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Parsing line: ", line}));

    std::string_view type;
    bool haveType = typeValue(line, type);
    if (!haveType || (type != "VREX_AVC" && type != "VREX_NETCTL")) {
        if (trace)
            logger_.log(Logger::DEBUG, "Line should not be processed");
        return;
    }

    std::string_view id = fieldValue(line, "container_id=");
    if (id.empty()) {
        if (trace)
            logger_.log(Logger::DEBUG, "container_id field not found in log, skipping");
        return;
    }
    result.containerId.assign(id);
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Container ID from container_id field: ", id}));

    std::string_view raw;
    size_t audit = findText(line, "audit(");
    if (audit != npos) {
        size_t start = audit + 6;
        size_t end = findChar(line, ':', start);
        if (end == npos)
            end = findChar(line, ')', start);
        if (end != npos)
            raw = line.substr(start, end - start);
    }
    if (raw.empty()) {
        if (trace)
            logger_.log(Logger::DEBUG, "No timestamp found");
        return;
    }

    std::string_view stamp = timestampView(raw);
    if (stamp.empty()) {
        if (trace)
            logger_.log(Logger::DEBUG, "Failed to convert timestamp");
        return;
    }
    result.timestamp.assign(stamp);
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Converted timestamp: ", stamp}));

    // The type was found above; an empty value cannot pass the type test.
    if (type.empty()) {
        if (trace)
            logger_.log(Logger::DEBUG, "No type found");
        return;
    }
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Type: ", type}));

    std::string_view path;
    if (type == "VREX_NETCTL") {
        path = fieldValue(line, "proc_path=");
        if (!path.empty() && trace)
            logger_.log(Logger::DEBUG, concat({"NETCTL path extracted from proc_path: ", path}));
    } else if (type == "VREX_AVC") {
        path = avcPath(line);
    }
    if (path.empty()) {
        if (trace)
            logger_.log(Logger::DEBUG, "No path found");
        return;
    }
    result.path.assign(path);
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Path: ", path}));

    operation_.clear();
    size_t open = findChar(line, '{');
    if (open != npos) {
        size_t close = findChar(line, '}', open + 1);
        if (close != npos) {
            for (size_t i = open + 1; i < close; ++i)
                if (!isSpace(line[i]))
                    operation_.push_back(lowerAscii(line[i]));
        }
    }
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Operation: ", operation_}));

    result.eventType = eventTypeOfLowered(type, operation_);
    if (result.eventType == 0) {
        if (trace)
            logger_.log(Logger::DEBUG, concat({"Unknown event type: type=", type, ", operation=", operation_}));
        return;
    }

    result.statusType = determineStatusType(line);
    if (result.statusType == 0) {
        if (trace)
            logger_.log(Logger::DEBUG, "Unknown status");
        return;
    }

    result.valid = true;
    if (trace)
        logger_.log(Logger::DEBUG, concat({"Parse successful - container_id: ", result.containerId, ", type: ", type,
                                           ", event: ", std::to_string(result.eventType), ", path: ", result.path,
                                           ", status: ", std::to_string(result.statusType)}));
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

bool LogConverter::convertInto(const ParseResult &result, std::string &out) {
    if (!result.valid)
        return false;
    buildKey(result, key_);
    if (seen_.find(std::string_view(key_)) != seen_.end()) {
        ++duplicates_;
        if (logger_.isDebugEnabled())
            logger_.log(Logger::DEBUG, concat({"Skipping duplicate log entry: ", key_}));
        return false;
    }
    seen_.insert(key_);
    if (seen_.size() > kCacheLimit) {
        seen_.clear();
        if (tracing())
            logger_.log(Logger::DEBUG, "Cleared duplicate cache (size limit reached)");
    }
    const char *event = eventName(result.eventType);
    const char *status = statusName(result.statusType);
    if (!event || !status)
        return false;
    out.clear();
    out.append(result.timestamp)
        .append(",container_id=")
        .append(result.containerId)
        .append(",Event=")
        .append(event)
        .append(",path=")
        .append(result.path)
        .append(",status=")
        .append(status);
    if (tracing())
        logger_.log(Logger::DEBUG, concat({"Output: ", out}));
    return true;
}

std::string LogConverter::convertToOutputFormat(const ParseResult &result) {
    std::string line;
    if (!convertInto(result, line))
        line.clear();
    return line;
}

}  // namespace vrex

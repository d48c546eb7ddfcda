#include "audit_lines.h"

#include <string_view>

namespace vrex::testing {

namespace {
const std::string kEventPrefix = std::string(",container_id=") + kContainerId + ",Event=filectl,path=/data/f";
const std::string kEventSuffix = ",status=enforcing";
constexpr std::size_t kTimestampLength = 15;  // "Dec 07 10:19:40"
}  // namespace

std::string avcLine(const std::string &id, const std::string &op, const std::string &name, const std::string &word,
                    const std::string &stamp) {
    return "type=VREX_AVC msg=audit(" + stamp + ":77): avc:  " + word + "  { " + op +
           " } for pid=12 comm=\"bash\" name=" + name + " dev=\"overlay\" tclass=file container_id=" + id;
}

std::string netLine(const std::string &id, const std::string &proc, const std::string &word) {
    return "type=VREX_NETCTL msg=audit(" + std::string(kStamp) + ".500:78): avc:  " + word +
           "  { connect } for pid=9 comm=\"curl\" proc_path=" + proc + " daddr=10.0.0.1 dport=443 container_id=" + id;
}

std::string eventLine(const std::string &id, const std::string &event, const std::string &path,
                      const std::string &status) {
    return std::string(kStampText) + ",container_id=" + id + ",Event=" + event + ",path=" + path + ",status=" + status;
}

std::string containerLine(std::uint64_t seq) {
    return "type=VREX_AVC msg=audit(1796638780.123:" + std::to_string(seq) +
           "): avc:  denied  { write } for  pid=4121 comm=\"bash\" name=\"/data/f" + std::to_string(seq) +
           "\" dev=\"overlay\" ino=1837465 tclass=file container_id=" + kContainerId;
}

std::string noiseLine(std::uint64_t seq) {
    return "type=SYSCALL msg=audit(1796638780.123:" + std::to_string(seq) +
           "): arch=c000003e syscall=257 success=no exit=-13 comm=\"bash\" name=\"/data/f" + std::to_string(seq) + "\"";
}

std::map<std::uint64_t, int> eventsIn(const std::string &text, std::string *problems) {
    std::map<std::uint64_t, int> seen;
    int reported = 0;
    auto problem = [&](const std::string &what) {
        if (reported++ < 5)
            *problems += what + "\n";
    };
    if (text.find('\0') != std::string::npos)
        problem("NUL bytes in the event log");
    if (!text.empty() && text.back() != '\n')
        problem("the event log ends inside a line");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        bool ok = line.size() > kTimestampLength + kEventPrefix.size() + kEventSuffix.size() &&
                  line.substr(kTimestampLength, kEventPrefix.size()) == kEventPrefix &&
                  line.substr(line.size() - kEventSuffix.size()) == kEventSuffix;
        std::uint64_t seq = 0;
        if (ok) {
            auto digits = line.substr(kTimestampLength + kEventPrefix.size(),
                                      line.size() - kTimestampLength - kEventPrefix.size() - kEventSuffix.size());
            ok = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
            if (ok)
                seq = std::stoull(std::string(digits));
        }
        if (!ok) {
            problem("unexpected line: " + std::string(line.substr(0, 200)));
            continue;
        }
        ++seen[seq];
    }
    return seen;
}

}  // namespace vrex::testing

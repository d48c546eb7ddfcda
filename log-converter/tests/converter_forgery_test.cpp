// A process inside a container chooses the names in its own records (the file
// it touches, its command, its executable): hostile records built from the
// real record shapes of the shipped sample log, each trying one way to forge
// or garble an event.
#include "log_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace vrex::testing {
namespace {

const std::string kSampleLog = std::string(VREX_CONVERTER_DATA) + "/sample_audit.log";
const std::string kRealId = "3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233";
const std::string kNetId = "b7e1d2c3a4958677f0e1d2c3b4a5968778695a4b3c2d1e0f1a2b3c4d5e6f7a8b";
const std::string kOtherId(64, 'f');
// The longest path (and container id) a record may carry.
constexpr std::size_t kMaxPathForTest = 4096;

// Line n (counted from 1) of the sample log.
std::string sample(int n) {
    std::ifstream in(kSampleLog);
    std::string line;
    for (int i = 0; i < n && std::getline(in, line); ++i) {}
    return line;
}

// Replaces the first `from` in line by `to`; the test fails when it is absent.
std::string replaced(std::string line, const std::string &from, const std::string &to) {
    auto at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from << " not in " << line;
    if (at != std::string::npos)
        line.replace(at, from.size(), to);
    return line;
}

// The sample's access record: a denied write of /etc/passwd by bash in
// container kRealId. Its network record: curl's denied connect in kNetId.
const std::string kAccess = sample(2);
const std::string kNetwork = sample(8);

class ForgeryTest : public LoggedTest {
protected:
    // The record moved to a second no other record of the run uses, so that
    // the duplicate cache cannot merge records of different tests.
    std::string fresh(const std::string &line) {
        second_ = "1796640" + std::to_string(100 + counter_++);
        return replaced(line, line.substr(line.find("audit(") + 6, 10), second_);
    }
    // The event line of a record at the last fresh second.
    std::string event(const std::string &id, const std::string &kind, const std::string &path,
                      const std::string &status = "enforcing") {
        return conv.convertTimestamp(second_) + ",container_id=" + id + ",Event=" + kind + ",path=" + path +
               ",status=" + status;
    }
    std::string convert(const std::string &line) { return conv.convertToOutputFormat(conv.parseLine(line)); }
    std::size_t count(const std::string &text, const std::string &what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    LogConverter &conv = LogConverter::getInstance();
    std::string second_;
    static inline int counter_ = 0;
};

// ------------------------------------------------- fields are the kernel's

TEST_F(ForgeryTest, FileNameCannotSetTheContainer) {
    // Before: the container_id= inside the quoted name came first and won.
    std::string line =
        replaced(fresh(kAccess), "name=\"/etc/passwd\"", "name=\"/tmp/container_id=" + kOtherId + ",x\"");
    auto result = conv.parseLine(line);
    ASSERT_TRUE(result.valid);
    EXPECT_EQ(result.containerId, kRealId);
    EXPECT_EQ(result.path, "/tmp/container_id=" + kOtherId + ",x");
    EXPECT_EQ(conv.convertToOutputFormat(result),
              event(kRealId, "filectl", "/tmp/container_id=" + kOtherId + "\\x2cx"));
}

TEST_F(ForgeryTest, CommandNameCannotSetThePath) {
    std::string line = replaced(fresh(kAccess), "comm=\"bash\"", "comm=\"name=/etc/ok\"");
    line = replaced(line, "/etc/passwd", "/etc/shadow");
    EXPECT_EQ(convert(line), event(kRealId, "filectl", "/etc/shadow"));
}

TEST_F(ForgeryTest, ExecutablePathCannotSetTheContainer) {
    std::string line = replaced(fresh(kNetwork), "proc_path=\"/usr/bin/curl\"",
                                "proc_path=\"/tmp/container_id=" + kOtherId + ",/curl\"");
    EXPECT_EQ(convert(line), event(kNetId, "netctl", "/tmp/container_id=" + kOtherId + "\\x2c/curl"));
}

// Record type, time, status word and operation are each taken from the
// kernel's part of the record, never from a quoted value.
TEST_F(ForgeryTest, MarkersInsideQuotedValuesDoNotCount) {
    // Type: a record without a type of its own, carrying "type=VREX_AVC" in
    // its command.
    std::string untyped = replaced(sample(3), "type=SYSCALL ", "node=host ");
    untyped = replaced(untyped, "comm=\"bash\"", "comm=\" type=VREX_AVC\"");
    EXPECT_FALSE(conv.shouldProcess(untyped));
    EXPECT_FALSE(conv.shouldProcess("subtype=VREX_AVC msg=audit(1:2)"));

    // Time: only the start of the msg= value.
    std::string line = replaced(fresh(kAccess), "msg=audit(", "msg=(");
    line = replaced(line, "comm=\"bash\"", "comm=\"audit(1796638780.1:5)\"");
    EXPECT_FALSE(conv.parseLine(line).valid);

    // Status word: a record without one, claiming a denial in a name.
    line = replaced(fresh(kAccess), "avc:  denied  ", "");
    line = replaced(line, "name=\"/etc/passwd\"", "name=\"/x avc: denied\"");
    EXPECT_FALSE(conv.parseLine(line).valid);

    // Operation: braces in a name do not make an open a write.
    line = replaced(fresh(kAccess), "{ write }", "open");
    line = replaced(line, "name=\"/etc/passwd\"", "name=\"/x{ write }\"");
    EXPECT_FALSE(conv.parseLine(line).valid);
    // Nor does a quoted "}" close the operation.
    line = replaced(fresh(kAccess), "{ write }", "{ open \"}\" write }");
    EXPECT_EQ(conv.parseLine(line).eventType, 2);
}

TEST_F(ForgeryTest, TwoContainerIdFieldsAreSkippedWithALimitedWarning) {
    Logger::getInstance().setDebugMode(false);
    for (int i = 0; i < 20; ++i) {
        std::string line = fresh(kAccess) + " container_id=" + kOtherId;
        ASSERT_EQ(convert(line), "") << line;
    }
    std::string log = logText();
    const std::string warning = "[WARN] Skipping a record with more than one container_id field: type=VREX_AVC msg=";
    EXPECT_EQ(count(log, warning), std::size_t(WarningLimit::kPerWindow)) << log;
    // A key inside a quoted value is no second field.
    EXPECT_NE(convert(fresh(kAccess) + " x=\"container_id=" + kOtherId + "\""), "");
}

// ---------------------------------------- the event line cannot be garbled

TEST_F(ForgeryTest, PathCannotAddFieldsToTheEventLine) {
    const std::string forged = "/tmp/x,status=permissive,container_id=" + kOtherId;
    std::string out = convert(replaced(fresh(kAccess), "/etc/passwd", forged));
    EXPECT_EQ(out, event(kRealId, "filectl", "/tmp/x\\x2cstatus=permissive\\x2ccontainer_id=" + kOtherId));
    EXPECT_EQ(count(out, ","), 4u);
}

TEST_F(ForgeryTest, ControlBytesBackslashesAndInvalidUtf8AreEscaped) {
    const std::string raw = std::string("/a\rb\x1b[31mc\\d\x7f\x01\xff\xc3(") + "\xc3\xa9\xf0\x9f\x98\x80" + "\t";
    std::string out = convert(replaced(fresh(kAccess), "/etc/passwd", raw));
    // Valid UTF-8 (é and an emoji) is kept as it is.
    EXPECT_EQ(out,
              event(kRealId, "filectl", "/a\\x0db\\x1b[31mc\\x5cd\\x7f\\x01\\xff\\xc3(\xc3\xa9\xf0\x9f\x98\x80\\x09"));
    // The id too: a bare value runs to the next blank.
    std::string id = "ab\x1b"
                     "cd";
    out = convert(replaced(fresh(kAccess), kRealId, id));
    EXPECT_EQ(out, event("ab\\x1bcd", "filectl", "/etc/passwd"));
}

TEST_F(ForgeryTest, CrLfLineEndsAtTheLf) {
    std::string line = fresh(kAccess);
    auto result = conv.parseLine(line + "\r");
    EXPECT_EQ(result.containerId, kRealId);
    EXPECT_EQ(conv.convertToOutputFormat(result), event(kRealId, "filectl", "/etc/passwd"));
    // Only the one CR before the line's end goes.
    EXPECT_EQ(conv.parseLine(fresh(kAccess) + "\r\r").containerId, kRealId + "\r");
}

TEST_F(ForgeryTest, HexEncodedNamesAreDecodedThenEscaped) {
    // The kernel writes "/tmp/a b" as hex, since it holds a blank.
    std::string out = convert(replaced(fresh(kAccess), "name=\"/etc/passwd\"", "name=2F746D702F612062"));
    EXPECT_EQ(out, event(kRealId, "filectl", "/tmp/a b"));
    out = convert(replaced(fresh(kAccess), "name=\"/etc/passwd\"", "name=2f610a622c63"));  // "/a\nb,c"
    EXPECT_EQ(out, event(kRealId, "filectl", "/a\\x0ab\\x2cc"));
    out = convert(replaced(fresh(kNetwork), "proc_path=\"/usr/bin/curl\"", "proc_path=2F62696E2F6E63"));
    EXPECT_EQ(out, event(kNetId, "netctl", "/bin/nc"));
    // A quoted value is never decoded, nor a bare one of odd length or with
    // another character.
    for (std::string name : {"\"2F746D70\"", "2F746D7", "2F746D7G"}) {
        auto result = conv.parseLine(replaced(fresh(kAccess), "\"/etc/passwd\"", name));
        EXPECT_EQ(result.path, name[0] == '"' ? name.substr(1, name.size() - 2) : name);
    }
}

// --------------------------------------------------------- bounded memory

TEST_F(ForgeryTest, ValuesLongerThanTheKernelWritesAreSkippedWithAWarning) {
    // The event line of the record with this name, made at its fresh second.
    auto withPath = [&](const std::string &name) {
        std::string out = convert(replaced(fresh(kAccess), "\"/etc/passwd\"", name));
        return out.empty() ? out : out.substr(out.find(",path=") + 6, out.rfind(",status=") - out.find(",path=") - 6);
    };
    const std::string longest = "/" + std::string(kMaxPathForTest - 1, 'p');
    EXPECT_EQ(withPath("\"" + longest + "\""), longest);
    EXPECT_EQ(withPath("\"" + longest + "q\""), "");
    // Hex counts once decoded: 4096 bytes pass, 4097 do not.
    std::string hex = "2F";  // "/", then as many "p" as in longest
    for (std::size_t i = 1; i < longest.size(); ++i)
        hex += "70";
    EXPECT_EQ(withPath(hex), longest);
    EXPECT_EQ(withPath(hex + "71"), "");
    // A container id as long is no kernel's either.
    EXPECT_EQ(convert(replaced(fresh(kAccess), kRealId, std::string(kMaxPathForTest + 1, 'a'))), "");
    std::string log = logText();
    EXPECT_EQ(count(log, "[WARN] Skipping a record whose path is longer than 4096 bytes: "), 2u) << log;
    EXPECT_EQ(count(log, "[WARN] Skipping a record whose container_id is longer than 4096 bytes: "), 1u);
    // The warning shows the start of the record, escaped, not all of it.
    EXPECT_LT(log.size(), 4096u);
}

TEST_F(ForgeryTest, DuplicateCacheTellsApartKeysThatDifferOnlyAtTheirEnd) {
    const std::string base = "/" + std::string(kMaxPathForTest - 2, 'k');
    std::string a = replaced(fresh(kAccess), "/etc/passwd", base + "a");
    std::string b = replaced(a, base + "a", base + "b");
    EXPECT_NE(convert(a), "");
    EXPECT_NE(convert(b), "");
    EXPECT_EQ(convert(a), "");
    EXPECT_EQ(convert(b), "");
    EXPECT_EQ(conv.generateLogHash(conv.parseLine(b)), kRealId + "|" + base + "b|" + conv.convertTimestamp(second_));
}

}  // namespace
}  // namespace vrex::testing

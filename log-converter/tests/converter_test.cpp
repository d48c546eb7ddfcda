// The converter's rules, grouped by the way a conversion can go wrong.
#include "audit_lines.h"
#include "log_fixture.h"

#include <string>

namespace vrex::testing {
namespace {

// The name's quote is never closed.
std::string unterminated(const std::string &id) {
    return "type=VREX_AVC msg=audit(" + std::string(kStamp) + ":1): avc: denied { write } container_id=" + id +
           " name=\"/open";
}

class ConverterTest : public LoggedTest {
protected:
    // Parses and renders one line, as the daemon's callback does.
    std::string convert(const std::string &line) {
        auto &c = LogConverter::getInstance();
        return c.convertToOutputFormat(c.parseLine(line));
    }
    // A container id no other test uses, so the duplicate cache cannot
    // carry a key over from another test.
    std::string freshId() {
        return "c" + std::to_string(++counter_) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    LogConverter &conv = LogConverter::getInstance();
    static inline int counter_ = 0;
};

TEST_F(ConverterTest, RecordTypeMustMatchExactlyAndCaseSensitively) {
    EXPECT_TRUE(conv.shouldProcess("type=VREX_AVC msg=x"));
    EXPECT_TRUE(conv.shouldProcess("type=VREX_NETCTL"));
    EXPECT_TRUE(conv.shouldProcess("node=a type=VREX_AVC msg=x"));
    EXPECT_FALSE(conv.shouldProcess("type=VREX_AVC_X msg=x"));
    EXPECT_FALSE(conv.shouldProcess("type=vrex_avc msg=x"));
    EXPECT_FALSE(conv.shouldProcess("type=VREX_AVC\tmsg=x"));  // only a blank ends the value
    EXPECT_FALSE(conv.shouldProcess("type=VREX_AVC,msg=x"));
    EXPECT_FALSE(conv.shouldProcess("type=SYSCALL msg=x type=VREX_AVC"));  // the first type= decides
    EXPECT_FALSE(conv.shouldProcess("msg=audit(1:2): avc: denied"));
    EXPECT_FALSE(conv.shouldProcess("type="));
    EXPECT_FALSE(conv.shouldProcess(""));
    // Only a field named type counts: not a longer key ending in it, nor
    // text inside a quoted value.
    EXPECT_FALSE(conv.shouldProcess("subtype=VREX_AVC"));
    EXPECT_FALSE(conv.shouldProcess("comm=\"x type=VREX_AVC\""));
    EXPECT_TRUE(conv.shouldProcess("comm=\"x type=SYSCALL\" type=VREX_AVC"));
}

TEST_F(ConverterTest, EventKindFollowsTypeAndOperation) {
    EXPECT_EQ(conv.determineEventType("VREX_NETCTL", "open"), 3);
    EXPECT_EQ(conv.determineEventType("vrex_netctl", ""), 3);
    EXPECT_EQ(conv.determineEventType("VREX_AVC", "execute"), 1);
    EXPECT_EQ(conv.determineEventType("VREX_AVC", "execmod"), 1);
    EXPECT_EQ(conv.determineEventType("Vrex_Avc", "INTERPRET"), 1);
    EXPECT_EQ(conv.determineEventType("VREX_AVC", "execwrite"), 1);  // exec is tested first
    for (const char *op : {"write", "writeattr", "truncate", "setattr", "unlink", "rename", "readWRITE"})
        EXPECT_EQ(conv.determineEventType("VREX_AVC", op), 2) << op;
    EXPECT_EQ(conv.determineEventType("VREX_AVC", "open"), 0);
    EXPECT_EQ(conv.determineEventType("VREX_AVC", ""), 0);
    EXPECT_EQ(conv.determineEventType("SYSCALL", "write"), 0);

    LogConverter::setDebugMode(true);
    conv.determineEventType("VREX_AVC", "open");
    conv.determineEventType("Other_Type", "x");
    conv.determineEventType("VREX_NETCTL", "x");
    conv.determineEventType("VREX_AVC", "exec");
    conv.determineEventType("VREX_AVC", "unlink");
    std::string log = logText();
    EXPECT_NE(log.find("[DEBUG] Unsupported type: VREX_AVC\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] Unsupported type: Other_Type\n"), std::string::npos);  // not lower-cased
    EXPECT_NE(log.find("[DEBUG] Type is VREX_NETCTL -> netctl\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] Operation is exec/interpret -> exectl\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] Operation is write/truncate/setattr/unlink/rename -> filectl\n"), std::string::npos);
}

TEST_F(ConverterTest, StatusWordIsFoundAfterAvcAndMatchedCaseInsensitively) {
    EXPECT_EQ(conv.determineStatusType("x avc: denied { write }"), 1);
    EXPECT_EQ(conv.determineStatusType("x avc:  DENIED  { write }"), 1);
    EXPECT_EQ(conv.determineStatusType("x avc:\t \tdenied"), 1);
    EXPECT_EQ(conv.determineStatusType("x avc:denied:more"), 1);
    EXPECT_EQ(conv.determineStatusType("avc: detect"), 2);
    EXPECT_EQ(conv.determineStatusType("avc: Detected"), 2);
    EXPECT_EQ(conv.determineStatusType("avc: undenied"), 1);  // a substring test
    EXPECT_EQ(conv.determineStatusType("no marker denied"), 0);

    LogConverter::setDebugMode(true);
    EXPECT_EQ(conv.determineStatusType("avc:  DENIED x"), 1);
    EXPECT_EQ(conv.determineStatusType("x"), 0);
    std::string log = logText();
    EXPECT_NE(log.find("[DEBUG] Extracted status word: DENIED\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] Status mapping (contains denied): denied -> enforcing\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] No 'avc:' found in line\n"), std::string::npos);
}

TEST_F(ConverterTest, UnexpectedStatusWordIsAnErrorEvenWithoutDebug) {
    LogConverter::setDebugMode(false);
    Logger::getInstance().setDebugMode(false);
    std::string line = "type=VREX_AVC avc:  Granted  { write }";
    CaptureOutput cap;
    EXPECT_EQ(conv.determineStatusType(line), 0);
    EXPECT_EQ(conv.determineStatusType("avc:"), 0);  // empty word
    std::string err = cap.err();
    std::string expected =
        "[ERROR] Unexpected status word (neither denied nor detect): granted in line: " + line + "\n";
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_NE(logText().find(expected), std::string::npos);
    EXPECT_NE(err.find("(neither denied nor detect):  in line: avc:\n"), std::string::npos);
    EXPECT_EQ(logText().find("[DEBUG]"), std::string::npos);
}

TEST_F(ConverterTest, FieldValuesStopWhereTheRulesSay) {
    EXPECT_EQ(conv.extractField("a container_id=abc def", "container_id"), "abc");
    EXPECT_EQ(conv.extractField("container_id=abc\tdef", "container_id"), "abc");
    EXPECT_EQ(conv.extractField("container_id=abc,def", "container_id"), "abc");
    EXPECT_EQ(conv.extractField("container_id=abc:def", "container_id"), "abc");
    EXPECT_EQ(conv.extractField("container_id=abc", "container_id"), "abc");
    EXPECT_EQ(conv.extractField("container_id=\"a b,c:d\" x", "container_id"), "a b,c:d");
    EXPECT_EQ(conv.extractField("container_id=\"\"", "container_id"), "");
    EXPECT_EQ(conv.extractField("container_id=\"abc", "container_id"), "");  // unterminated
    EXPECT_EQ(conv.extractField("container_id=\"", "container_id"), "");
    EXPECT_EQ(conv.extractField("container_id=", "container_id"), "");
    EXPECT_EQ(conv.extractField("container_id= abc", "container_id"), "");
    EXPECT_EQ(conv.extractField("container_id abc", "container_id"), "");
    // Only where a field starts: not inside a longer key, nor a quoted value.
    EXPECT_EQ(conv.extractField("xcontainer_id=inner container_id=outer", "container_id"), "outer");
    EXPECT_EQ(conv.extractField("a=\"b container_id=inner\" container_id=outer", "container_id"), "outer");
    EXPECT_EQ(conv.extractField("a=\"b\" container_id=\"c d\"", "container_id"), "c d");
    EXPECT_EQ(conv.extractField("container_id=first container_id=second", "container_id"), "first");
    EXPECT_EQ(conv.extractQuotedField("proc_path=\"/usr/bin/a b\"", "proc_path"), "/usr/bin/a b");
    EXPECT_EQ(conv.extractQuotedField("proc_path=/usr/bin/a:b", "proc_path"), "/usr/bin/a");
}

// The field search works in blocks of 16 and 32 bytes: a key must be found
// at every offset and across block borders, and look-alikes must not match.
TEST_F(ConverterTest, FieldSearchFindsTheFirstKeyAtEveryOffset) {
    for (size_t offset = 0; offset < 100; ++offset) {
        for (size_t tail : {0u, 1u, 5u, 31u, 40u}) {
            // Look-alikes with the right first and last byte come first.
            std::string line = std::string(offset, 'c') + " containerid= container_iX= cXntainer_id= container_id=v" +
                               std::to_string(offset) + " " + std::string(tail, '=') + " container_id=second";
            ASSERT_EQ(conv.extractField(line, "container_id"), "v" + std::to_string(offset)) << line;
            std::string missing = std::string(offset, 'c') + "container_id" + std::string(tail, 'd') + "=";
            ASSERT_EQ(conv.extractField(missing, "container_id"), "") << missing;
            std::string atEnd = std::string(offset, ' ') + "container_id=" + std::string(tail, 'e');
            ASSERT_EQ(conv.extractField(atEnd, "container_id"), std::string(tail, 'e')) << atEnd;
        }
    }
}

TEST_F(ConverterTest, PathComesFromNameForAccessAndProcPathForNetwork) {
    auto parsed = [&](const std::string &line) { return conv.parseLine(line); };
    EXPECT_EQ(parsed(avcLine(kContainerId, "write", "\"/a b,c:d\"")).path, "/a b,c:d");
    EXPECT_EQ(parsed(avcLine(kContainerId, "write", "/a,b:c")).path, "/a,b:c");  // bare: only a blank ends it
    // A quote left open holds the rest of the line inside a quoted value:
    // the container_id after it is no field.
    EXPECT_FALSE(parsed(avcLine(kContainerId, "write", "\"/open")).valid);
    EXPECT_FALSE(parsed(unterminated(kContainerId)).valid);
    EXPECT_EQ(parsed(netLine(kContainerId)).path, "/usr/bin/curl");
    EXPECT_EQ(parsed(netLine(kContainerId, "/usr/bin/curl:x")).path, "/usr/bin/curl");  // field rules apply
    // Network records take proc_path; a name= alone does not give them a path.
    std::string noProc = "type=VREX_NETCTL msg=audit(1796638780:1): avc: denied { connect } name=\"/x\" container_id=" +
                         std::string(kContainerId);
    EXPECT_FALSE(parsed(noProc).valid);
    // A longer key ending in name= is not the name field.
    std::string longer = "type=VREX_AVC msg=audit(1796638780:1): avc: denied { write } filename=/f container_id=" +
                         std::string(kContainerId);
    EXPECT_FALSE(parsed(longer).valid);
    EXPECT_EQ(parsed(longer + " name=/g").path, "/g");
}

TEST_F(ConverterTest, ContainerIdMissingOrEmptyYieldsNothing) {
    std::string base = avcLine(kContainerId);
    std::string noId = base.substr(0, base.find(" container_id="));
    EXPECT_FALSE(conv.parseLine(noId).valid);
    EXPECT_FALSE(conv.parseLine(noId + " container_id= x").valid);
    EXPECT_FALSE(conv.parseLine(noId + " container_id=\"\"").valid);
    EXPECT_EQ(conv.parseLine(noId + " container_id=\"q q\"").containerId, "q q");
}

TEST_F(ConverterTest, OperationDecidesTheAccessKind) {
    EXPECT_EQ(conv.parseLine(avcLine(kContainerId, "read write")).eventType, 2);
    EXPECT_EQ(conv.parseLine(avcLine(kContainerId, "execute")).eventType, 1);
    auto open = conv.parseLine(avcLine(kContainerId, "open"));
    EXPECT_FALSE(open.valid);
    EXPECT_EQ(open.eventType, 0);
    // A "{" without "}" leaves the operation empty.
    std::string line = "type=VREX_AVC msg=audit(1796638780:1): avc: denied { write for name=/p container_id=x";
    EXPECT_FALSE(conv.parseLine(line).valid);
    // For network records the operation plays no part.
    std::string net = netLine(kContainerId);
    net.replace(net.find("{ connect }"), 11, "{ open }");
    EXPECT_EQ(conv.parseLine(net).eventType, 3);
}

TEST_F(ConverterTest, TimestampsConvertToLocalSeconds) {
    EXPECT_EQ(conv.convertTimestamp("1796638780"), "Dec 07 10:19:40");
    EXPECT_EQ(conv.convertTimestamp("1796638780.999"), "Dec 07 10:19:40");
    EXPECT_EQ(conv.convertTimestamp(" \t+1796638780"), "Dec 07 10:19:40");
    EXPECT_EQ(conv.convertTimestamp("1796638780999"), "Dec 07 10:19:40");  // milliseconds
    EXPECT_EQ(conv.convertTimestamp("10000000000"), "Nov 20 17:46:40");    // not above the limit: seconds
    EXPECT_EQ(conv.convertTimestamp("10000000001"), "Apr 26 17:46:40");    // milliseconds
    EXPECT_EQ(conv.convertTimestamp("-5"), "Dec 31 23:59:55");
    EXPECT_EQ(conv.convertTimestamp("9223372036854775807"), "Aug 17 07:12:55");
    EXPECT_EQ(conv.convertTimestamp("9223372036854775808"), "");  // out of range
    EXPECT_EQ(conv.convertTimestamp("123456789012345678901234567890"), "");
    EXPECT_EQ(conv.convertTimestamp("-9223372036854775808"), "");  // no local time that far back
    EXPECT_EQ(conv.convertTimestamp("abc"), "");
    EXPECT_EQ(conv.convertTimestamp(""), "");
    EXPECT_EQ(conv.convertTimestamp("-"), "");
    EXPECT_EQ(conv.convertTimestamp(".5"), "");
    // Going back to an earlier second after the cache moved on.
    EXPECT_EQ(conv.convertTimestamp("1796638781"), "Dec 07 10:19:41");
    EXPECT_EQ(conv.convertTimestamp("1796638780"), "Dec 07 10:19:40");

    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    EXPECT_EQ(conv.convertTimestamp("1796638790"), "Dec 07 19:19:50");
}

TEST_F(ConverterTest, RawTimeRunsFromAuditToTheFirstColonOrParenthesis) {
    LogConverter::setDebugMode(true);
    std::string id = freshId();
    std::string tail = " avc: denied { write } name=/p container_id=" + id;
    // No ':' after "audit(": the raw time ends at ')'; here the first ':' is
    // the one of "avc:", and the leading digits still give the second.
    auto viaParen = conv.parseLine("type=VREX_AVC msg=audit(1796638780)" + tail);
    EXPECT_TRUE(viaParen.valid);
    EXPECT_EQ(viaParen.timestamp, "Dec 07 10:19:40");
    EXPECT_FALSE(conv.parseLine("type=VREX_AVC msg=audit(abc:1)" + tail).valid);
    EXPECT_FALSE(conv.parseLine("type=VREX_AVC msg=audit():" + tail).valid);
    EXPECT_FALSE(conv.parseLine("type=VREX_AVC msg=(1796638780:1)" + tail).valid);
    EXPECT_FALSE(conv.parseLine("type=VREX_AVC name=/p container_id=x msg=audit(1796638780").valid);
    std::string log = logText();
    EXPECT_NE(log.find("[DEBUG] Failed to convert timestamp\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] No timestamp found\n"), std::string::npos);
}

TEST_F(ConverterTest, RenderedLineHasTheExactFormat) {
    std::string id = freshId();
    EXPECT_EQ(convert(avcLine(id)),
              "Dec 07 10:19:40,container_id=" + id + ",Event=filectl,path=/etc/passwd,status=enforcing");
    EXPECT_EQ(convert(avcLine(id, "execute", "/bin/x", "detect")),
              "Dec 07 10:19:40,container_id=" + id + ",Event=exectl,path=/bin/x,status=permissive");
    EXPECT_EQ(convert(netLine(id)),
              "Dec 07 10:19:40,container_id=" + id + ",Event=netctl,path=/usr/bin/curl,status=enforcing");
    LogConverter::ParseResult invalid;
    EXPECT_EQ(conv.convertToOutputFormat(invalid), "");
    EXPECT_EQ(conv.generateLogHash(invalid), "");
}

TEST_F(ConverterTest, RepeatsWithinOneSecondAreDropped) {
    std::string id = freshId();
    uint64_t before = conv.duplicateCount();
    EXPECT_FALSE(convert(avcLine(id, "write", "/p", "denied", "1796638780.100")).empty());
    EXPECT_EQ(convert(avcLine(id, "write", "/p", "denied", "1796638780.900")), "");         // same second
    EXPECT_EQ(convert(avcLine(id, "truncate", "/p", "detect", "1796638780999")), "");       // other kind, same key
    EXPECT_FALSE(convert(avcLine(id, "write", "/p", "denied", "1796638781.000")).empty());  // next second
    EXPECT_FALSE(convert(avcLine(id, "write", "/q", "denied", "1796638780.100")).empty());  // other path
    EXPECT_EQ(conv.duplicateCount() - before, 2u);

    auto result = conv.parseLine(avcLine(id, "write", "/p"));
    EXPECT_EQ(conv.generateLogHash(result), id + "|/p|Dec 07 10:19:40");
    // The duplicate message depends on the logger's flag only.
    LogConverter::setDebugMode(false);
    EXPECT_EQ(conv.convertToOutputFormat(result), "");
    EXPECT_NE(logText().find("[DEBUG] Skipping duplicate log entry: " + id + "|/p|Dec 07 10:19:40\n"),
              std::string::npos);
    Logger::getInstance().setDebugMode(false);
    std::string before2 = logText();
    CaptureOutput cap;
    EXPECT_EQ(conv.convertToOutputFormat(result), "");
    EXPECT_EQ(logText().size(), before2.size());
    EXPECT_EQ(cap.err(), "");
}

TEST_F(ConverterTest, CacheEmptiesOnThe1001stDistinctKey) {
    LogConverter::setDebugMode(true);
    std::string id = freshId();
    auto distinct = [&](int n) { return conv.parseLine(avcLine(id + "_" + std::to_string(n), "write", "/k")); };
    // Fill until the cache empties, so that it is known to be empty.
    int n = 0;
    const std::string cleared = "[DEBUG] Cleared duplicate cache (size limit reached)\n";
    size_t clears = 0;
    auto countClears = [&] {
        std::string log = logText();
        size_t count = 0;
        for (size_t at = log.find(cleared); at != std::string::npos; at = log.find(cleared, at + 1))
            ++count;
        return count;
    };
    size_t initial = countClears();
    while (countClears() == initial && n < 1100)
        ASSERT_FALSE(conv.convertToOutputFormat(distinct(n++)).empty());
    ASSERT_LT(n, 1100);
    clears = countClears();

    auto key = conv.parseLine(avcLine(id, "write", "/k"));
    EXPECT_FALSE(conv.convertToOutputFormat(key).empty());  // 1 key
    for (int i = 0; i < 999; ++i)                           // 1000 keys
        ASSERT_FALSE(conv.convertToOutputFormat(distinct(n++)).empty());
    EXPECT_EQ(countClears(), clears);
    EXPECT_EQ(conv.convertToOutputFormat(key), "");                   // still remembered
    EXPECT_FALSE(conv.convertToOutputFormat(distinct(n++)).empty());  // 1001st: emptied
    EXPECT_EQ(countClears(), clears + 1);
    EXPECT_FALSE(conv.convertToOutputFormat(key).empty());  // written again
}

TEST_F(ConverterTest, KeyIsRememberedEvenWhenTheKindCannotBeNamed) {
    std::string id = freshId();
    auto result = conv.parseLine(avcLine(id));
    ASSERT_TRUE(result.valid);
    auto odd = result;
    odd.eventType = 7;
    EXPECT_EQ(conv.convertToOutputFormat(odd), "");
    EXPECT_EQ(conv.convertToOutputFormat(result), "");  // the key went in first
    auto badStatus = conv.parseLine(avcLine(id, "write", "/other"));
    badStatus.statusType = 9;
    EXPECT_EQ(conv.convertToOutputFormat(badStatus), "");
}

TEST_F(ConverterTest, DebugTraceOfASuccessfulParse) {
    LogConverter::setDebugMode(true);
    std::string id = freshId();
    std::string line = avcLine(id, "Read Write", "\"/etc/x\"");
    std::string out = convert(line);
    std::string log = logText();
    const char *steps[] = {"[DEBUG] Parsing line: ",
                           "[DEBUG] Container ID from container_id field: ",
                           "[DEBUG] Converted timestamp: Dec 07 10:19:40\n",
                           "[DEBUG] Type: VREX_AVC\n",
                           "[DEBUG] Path: /etc/x\n",
                           "[DEBUG] Operation: readwrite\n",
                           "[DEBUG] Operation is write/truncate/setattr/unlink/rename -> filectl\n",
                           "[DEBUG] Extracted status word: denied\n",
                           "[DEBUG] Status mapping (contains denied): denied -> enforcing\n",
                           "[DEBUG] Parse successful - container_id: ",
                           "[DEBUG] Output: "};
    size_t at = 0;
    for (const char *step : steps) {
        size_t found = log.find(step, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << log;
        at = found;
    }
    EXPECT_NE(log.find("[DEBUG] Parse successful - container_id: " + id +
                       ", type: VREX_AVC, event: 2, path: /etc/x, status: 1\n"),
              std::string::npos);
    EXPECT_NE(log.find("[DEBUG] Output: " + out + "\n"), std::string::npos);

    LogConverter::setDebugMode(true);
    conv.parseLine("type=SYSCALL x");
    conv.parseLine(netLine(id, "\"\""));
    log = logText();
    EXPECT_NE(log.find("[DEBUG] Line should not be processed\n"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] No path found\n"), std::string::npos);
}

TEST_F(ConverterTest, NoTraceWhileConverterDebugIsOff) {
    LogConverter::setDebugMode(false);
    std::string before = logText();
    convert(avcLine(freshId()));
    conv.parseLine("type=SYSCALL x");
    EXPECT_EQ(logText(), before);
}

// Hostile lines: nothing crashes, and the result is what the rules give.
TEST_F(ConverterTest, HostileLinesFollowTheRules) {
    LogConverter::setDebugMode(true);
    EXPECT_EQ(convert(""), "");
    EXPECT_EQ(convert("type="), "");
    EXPECT_EQ(convert("type=VREX_AVC msg=audit("), "");
    EXPECT_EQ(convert(unterminated(freshId())), "");
    EXPECT_EQ(convert(avcLine(freshId(), "write", "/p", "denied", "123456789012345678901234567890")), "");
    std::string neg = freshId();
    EXPECT_EQ(convert(avcLine(neg, "write", "/p", "denied", "-5")),
              "Dec 31 23:59:55,container_id=" + neg + ",Event=filectl,path=/p,status=enforcing");

    // NUL bytes and invalid UTF-8 are kept in the path and escaped in the line.
    std::string id = freshId();
    std::string bytes = std::string("/a\0b\xff\xc3(", 7);
    std::string line = avcLine(id, "write", "\"" + bytes + "\"");
    EXPECT_EQ(conv.parseLine(line).path, bytes);
    EXPECT_EQ(convert(line),
              "Dec 07 10:19:40,container_id=" + id + ",Event=filectl,path=/a\\x00b\\xff\\xc3(,status=enforcing");
    std::string nulType = std::string("type=VREX_AVC\0", 14) + line.substr(13);
    EXPECT_EQ(convert(nulType), "");  // the type value runs on past the NUL

    // A 10 MiB line: junk before a valid record, and a record whose path is
    // 10 MiB (no kernel writes that: skipped).
    std::string bigId = freshId();
    std::string junk(10 << 20, 'x');
    EXPECT_FALSE(convert(avcLine(bigId) + " " + junk).empty());
    std::string bigPath = "/" + std::string(10 << 20, 'p');
    EXPECT_EQ(convert(avcLine(bigId, "unlink", bigPath)), "");
    EXPECT_EQ(convert(junk), "");
}

}  // namespace
}  // namespace vrex::testing

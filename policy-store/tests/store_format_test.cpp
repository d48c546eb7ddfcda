// The record, the identifier rule, the attribute reader and the file format:
// what save writes, and what load makes of good and bad text.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "record_fixtures.h"
#include "store_core.h"
#include "sysutil/unique_fd.h"
#include "test_util.h"

using namespace vrex::testing;

namespace {

const std::string &kHead = kStoreHead;
const std::string &kTail = kStoreTail;

std::string policyLine(const std::string &attrs) { return "  <policy " + attrs + "/>\n"; }

// Feeds text to the parser in pieces of `piece` bytes (all at once when 0)
// and returns the records; the messages go to err, the count of elements
// that did not become records to unread.
std::vector<_ContainerPolicy> parse(const std::string &text, std::string *err = nullptr, size_t piece = 0,
                                    size_t *unread = nullptr) {
    vault::StoreParser parser;
    CaptureOutput cap;
    int rc = parser.reserveFor(text.size());
    size_t step = piece == 0 ? text.size() : piece;
    for (size_t at = 0; rc == 0 && at < text.size(); at += step)
        rc = parser.feed(text.data() + at, std::min(step, text.size() - at));
    if (rc == 0)
        rc = parser.finish();
    int count = parser.count();
    if (unread)
        *unread = parser.unread();
    vrex::sys::MallocPtr<_ContainerPolicy> records(parser.take());
    std::string e = cap.err();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cap.out(), "");
    if (err)
        *err = e;
    EXPECT_EQ(records == nullptr, count == 0);
    return std::vector<_ContainerPolicy>(records.get(), records.get() + (records ? count : 0));
}

}  // namespace

TEST(IdentifierRule, AcceptsExactly64HexDigitsOfEitherCase) {
    EXPECT_TRUE(vault::is_valid_container_id(makeId(0x1234).c_str()));
    EXPECT_TRUE(vault::is_valid_container_id(std::string(64, 'F').c_str()));
    EXPECT_TRUE(vault::is_valid_container_id((std::string(32, 'a') + std::string(32, '9')).c_str()));
}

TEST(IdentifierRule, RejectsWrongLengthNonHexAndNull) {
    EXPECT_FALSE(vault::is_valid_container_id(nullptr));
    EXPECT_FALSE(vault::is_valid_container_id(""));
    EXPECT_FALSE(vault::is_valid_container_id(std::string(63, 'a').c_str()));
    EXPECT_FALSE(vault::is_valid_container_id(std::string(65, 'a').c_str()));
    std::string bad = makeId(7);
    bad[10] = 'g';
    EXPECT_FALSE(vault::is_valid_container_id(bad.c_str()));
    bad[10] = ' ';
    EXPECT_FALSE(vault::is_valid_container_id(bad.c_str()));
    // A NUL inside the 64 characters shortens the identifier.
    char withNul[65];
    std::memcpy(withNul, makeId(7).c_str(), 65);
    withNul[40] = '\0';
    EXPECT_FALSE(vault::is_valid_container_id(withNul));
}

TEST(AttributeReader, TakesFirstSubstringMatchAndSkipsSpacesQuotesEquals) {
    char out[16];
    ASSERT_TRUE(vault::parse_attr("<a global = \"\" = 42\" x", "global", out, sizeof out));
    EXPECT_STREQ(out, "42");
    // Plain substring search: "net" matches inside "cabinet" first.
    ASSERT_TRUE(vault::parse_attr("<p cabinet=\"7\" net=\"1\"/>", "net", out, sizeof out));
    EXPECT_STREQ(out, "7");
    // Without quotes the value runs to the end of the line.
    ASSERT_TRUE(vault::parse_attr("x=abc def", "x", out, sizeof out));
    EXPECT_STREQ(out, "abc def");
}

TEST(AttributeReader, CutsLongValuesToTheBuffer) {
    char out[8];
    ASSERT_TRUE(vault::parse_attr("v=\"0123456789\"", "v", out, sizeof out));
    EXPECT_STREQ(out, "0123456");
}

TEST(AttributeReader, MissingOrEmptyValueFails) {
    char out[8] = "keep";
    EXPECT_FALSE(vault::parse_attr("<policy id=\"1\"/>", "global", out, sizeof out));
    EXPECT_STREQ(out, "keep");  // absent name: out untouched
    EXPECT_FALSE(vault::parse_attr("<policy id= \"\"", "id", out, sizeof out));
    EXPECT_STREQ(out, "");  // name at the end of the line: out emptied
    EXPECT_FALSE(vault::parse_attr(nullptr, "id", out, sizeof out));
    EXPECT_FALSE(vault::parse_attr("id=1", std::string(300, 'i').c_str(), out, sizeof out));
}

TEST(FileFormat, SaveWritesDeclarationRootAndOneLinePerRecord) {
    TempDir dir;
    std::string path = dir.file("container.xml");
    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 1, 0, 1),
                                          makePolicy(std::string(64, 'A'), 255, 0, 100, 9)};
    CaptureOutput cap;
    ASSERT_EQ(vault::save(path.c_str(), recs.data(), 2), 0);
    EXPECT_EQ(cap.out(), "Successfully saved 2 policies to " + path + "\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(readFile(path),
              kHead +
                  "  <policy id=\"0000000000000000000000000000000000000000000000000000000000000001\" global=\"2\" "
                  "exec=\"1\" net=\"0\" file=\"1\"/>\n"
                  "  <policy id=\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\" global=\"255\" "
                  "exec=\"0\" net=\"100\" file=\"9\"/>\n" +
                  kTail);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(FileFormat, EmptyStoreIsDeclarationAndRootPair) {
    TempDir dir;
    std::string path = dir.file("container.xml");
    CaptureOutput cap;
    ASSERT_EQ(vault::save(path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(readFile(path), kHead + kTail);
    EXPECT_EQ(cap.out(), "Successfully saved 0 policies to " + path + "\n");
}

TEST(FileFormat, EverySwitchValueSurvivesSaveAndLoad) {
    TempDir dir;
    std::string path = dir.file("container.xml");
    std::vector<_ContainerPolicy> recs;
    for (unsigned v = 0; v < 256; ++v)
        recs.push_back(makePolicy(makeId(v, v % 2 ? 'a' : 'F'), v, 255 - v, v / 2, v % 7));
    _ContainerPolicy *loaded = nullptr;
    int count = 0;
    {
        CaptureOutput cap;
        ASSERT_EQ(vault::save(path.c_str(), recs.data(), 256), 0);
        ASSERT_EQ(vault::load(path.c_str(), &loaded, &count), 0);
        EXPECT_EQ(cap.out(), "Successfully saved 256 policies to " + path + "\nSuccessfully loaded 256 policies from " +
                                 path + "\n");
    }
    EXPECT_EQ(readFile(path), storeText(recs));
    EXPECT_EQ(bytesOf(loaded, count), bytesOf(recs));
    std::free(loaded);
}

TEST(FileFormat, SaveSkipsInvalidIdentifiersButCountsThem) {
    TempDir dir;
    std::string path = dir.file("container.xml");
    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 0, 0, 0), makePolicy("abc", 2, 1, 1, 1),
                                          makePolicy(makeId(3), 4, 1, 1, 1)};
    // An identifier filling all 65 bytes (no NUL) is printed without overreading.
    _ContainerPolicy full = makePolicy(std::string(65, 'b'), 0, 0, 0, 0);
    recs.push_back(full);
    CaptureOutput cap;
    ASSERT_EQ(vault::save(path.c_str(), recs.data(), 4), 0);
    EXPECT_EQ(cap.err(),
              "Invalid container ID at index 1: abc\nInvalid container ID at index 3: " + std::string(65, 'b') + "\n");
    EXPECT_EQ(cap.out(), "Successfully saved 4 policies to " + path + "\n");
    EXPECT_EQ(readFile(path), storeText({recs[0], recs[2]}));
}

TEST(LoadFormat, SwitchValuesAreBase10TruncatedTo8Bits) {
    std::string id = makeId(5);
    auto recs =
        parse(kHead + policyLine("id=\"" + id + "\" global=\"300\" exec=\"256\" net=\"-1\" file=\"+7\"") +
              policyLine("id=\"" + id + "\" global=\"999999999999999999999\" exec=\" 12\" file=\"x9\"") + kTail);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].global_switch, 44);
    EXPECT_EQ(recs[0].exec_control, 0);
    EXPECT_EQ(recs[0].network_control, 255);
    EXPECT_EQ(recs[0].file_protection, 7);
    // Values are read into 15 characters: 999999999999999 modulo 256.
    EXPECT_EQ(recs[1].global_switch, 999999999999999ULL % 256);
    EXPECT_EQ(recs[1].exec_control, 12);
    EXPECT_EQ(recs[1].network_control, 0);  // missing
    EXPECT_EQ(recs[1].file_protection, 0);  // no digits
}

TEST(LoadFormat, LongIdentifierKeepsFirst64Characters) {
    std::string id70 = makeId(0xabc) + "123456";
    auto recs = parse(policyLine("id=\"" + id70 + "\" global=\"2\""));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::string(recs[0].container_id), id70.substr(0, 64));
    EXPECT_EQ(recs[0].global_switch, 2);
}

TEST(LoadFormat, InvalidIdentifiersAreReportedAndSkipped) {
    std::string bad = makeId(9);
    bad[3] = 'z';
    std::string err;
    auto recs = parse(kHead + policyLine("id=\"" + std::string(63, 'a') + "\" global=\"2\"") +
                          policyLine("id=\"" + bad + "\"") + policyLine("id=\"" + makeId(1) + "\" exec=\"1\"") +
                          policyLine("global=\"2\"") + kTail,
                      &err);
    EXPECT_EQ(err,
              "Invalid container ID in XML: " + std::string(63, 'a') + "\nInvalid container ID in XML: " + bad + "\n");
    ASSERT_EQ(recs.size(), 1u);  // the line without an id is skipped silently
    EXPECT_EQ(std::string(recs[0].container_id), makeId(1));
    EXPECT_EQ(recs[0].exec_control, 1);
}

TEST(LoadFormat, ScansLinesNotElements) {
    std::string a = makeId(0xa), b = makeId(0xb), c = makeId(0xc);
    std::string text = "<?xml policy id=\"" + a +
                       "\"?>\n"  // declaration line: ignored
                       "<container_policies id=\"" +
                       a +
                       "\">\n"  // root line: ignored
                       "\n\n\n<other id=\"" +
                       a +
                       "\"/>\n"  // no "policy": ignored
                       "<!-- policy --><x id=\"" +
                       b +
                       "\" net=\"1\">\n"  // any line with "policy" counts
                       "<policy file=\"1\" global=\"4\" id=\"" +
                       c +
                       "\"/>\r\n"  // attribute order is free
                       "  <policy id=\"" +
                       a + "\" global=\"2\"/>";  // no final newline
    size_t unread = 99;
    auto recs = parse(text, nullptr, 0, &unread);
    EXPECT_EQ(unread, 0u);  // no line holds a "<policy" element it did not load
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(std::string(recs[0].container_id), b);
    EXPECT_EQ(recs[0].network_control, 1);
    EXPECT_EQ(std::string(recs[1].container_id), c);
    EXPECT_EQ(recs[1].global_switch, 4);
    EXPECT_EQ(recs[1].file_protection, 1);
    EXPECT_EQ(std::string(recs[2].container_id), a);
    EXPECT_EQ(recs[2].global_switch, 2);
}

TEST(LoadFormat, KeepsFileOrderAndDuplicatesAndGrowsPast16) {
    std::vector<_ContainerPolicy> recs;
    for (unsigned i = 0; i < 17; ++i)
        recs.push_back(makePolicy(makeId(i % 16), i, 1, 0, 1));
    auto loaded = parse(storeText(recs));
    EXPECT_EQ(bytesOf(loaded), bytesOf(recs));
}

TEST(LoadFormat, UnquotedAttributesReadToTheNextQuoteOrLineEnd) {
    std::string id = makeId(0x77);
    auto recs = parse("<policy id=" + id + " global=2 exec=1 net=1 file=0/>\n");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::string(recs[0].container_id), id);
    EXPECT_EQ(recs[0].global_switch, 2);  // "2 exec=1 net=1 " converts to 2
    EXPECT_EQ(recs[0].exec_control, 1);
    EXPECT_EQ(recs[0].network_control, 1);
    EXPECT_EQ(recs[0].file_protection, 0);
}

TEST(LoadBadInput, NulByteEndsOnlyItsOwnLine) {
    std::string a = makeId(1), b = makeId(2), c = makeId(3);
    std::string text = "  <policy id=\"" + a + "\" global=\"2\" exec=\"1\" net=\"1\" file=\"1\"/>";
    // The rest of this line is not read: its element is not closed in what is.
    text[text.find("exec") - 1] = '\0';
    text += "\n  <policy id=\"" + b + "\" global=\"4\" exec=\"0\" net=\"0\" file=\"0\"/>";
    // A whole element before the NUL loads; the one after it is never read.
    text += std::string(1, '\0') + "<policy id=\"" + c + "\"/>\n";
    size_t unread = 0;
    auto recs = parse(text, nullptr, 0, &unread);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::string(recs[0].container_id), b);
    EXPECT_EQ(recs[0].global_switch, 4);
    EXPECT_EQ(unread, 2u);
}

TEST(LoadBadInput, TruncatedFileLoadsTheCompleteLinesAndCountsTheCutOne) {
    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 1, 1, 1), makePolicy(makeId(2), 4, 0, 1, 0)};
    std::string text = storeText(recs);
    // Cut inside the second record's identifier, or inside its switches
    // (which would otherwise load as 0): the element is not closed.
    for (size_t cut : {text.find(makeId(2)) + 20, text.find("exec", text.find(makeId(2)))}) {
        std::string err;
        size_t unread = 0;
        auto loaded = parse(text.substr(0, cut), &err, 0, &unread);
        EXPECT_EQ(bytesOf(loaded), bytesOf({recs[0]}));
        EXPECT_EQ(unread, 1u);
        EXPECT_EQ(err, "");
    }
}

TEST(LoadBadInput, MegabyteLinesAndBinaryGarbageNeverCrash) {
    std::string id = makeId(0x42);
    std::string huge = std::string(1 << 20, 'p') + "policy id=\"" + id + "\" global=\"" + std::string(1 << 20, '7');
    auto recs = parse(huge + "\n" + std::string(1 << 20, '"') + "\n");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::string(recs[0].container_id), id);
    EXPECT_EQ(recs[0].global_switch, 777777777777777ULL % 256);

    std::mt19937 gen(12345);
    for (int round = 0; round < 20; ++round) {
        std::string junk(4096 + round * 977, '\0');
        for (auto &c : junk)
            c = static_cast<char>(gen());
        junk.insert(junk.size() / 2, "policy id=\"" + id + "\"\n");
        std::string err;
        for (const auto &r : parse(junk, &err))
            EXPECT_TRUE(vault::is_valid_container_id(r.container_id));
    }
}

TEST(LoadBadInput, PiecesOfAnySizeGiveTheRecordsAndMessagesOfOnePiece) {
    // Lines cut anywhere by the pieces: in an identifier, between the
    // newlines of a run, right after a NUL, in the unfinished last line.
    std::string bad = makeId(0xbad);
    bad[7] = 'q';
    std::string text = kHead + storeText({makePolicy(makeId(1), 2, 1, 0, 1)}).substr(kHead.size()) + "\n\n\n" +
                       policyLine("id=\"" + bad + "\"") + "  <policy id=\"" + makeId(2) + "\" global=\"4\"" +
                       std::string(1, '\0') + " exec=\"1\"/>\n" + std::string(300, 'x') + "policy id=" + makeId(3) +
                       " net=7\n\n" + policyLine("id=\"" + makeId(4) + "\" file=\"1\"").substr(0, 90);
    std::string wholeErr;
    size_t wholeUnread = 0;
    auto whole = parse(text, &wholeErr, 0, &wholeUnread);
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(wholeErr, "Invalid container ID in XML: " + bad + "\n");
    EXPECT_EQ(wholeUnread, 2u);  // the bad identifier, the element cut by the NUL
    for (size_t piece : {1, 2, 3, 7, 64, 73, 100, 255}) {
        std::string err;
        size_t unread = 0;
        EXPECT_EQ(bytesOf(parse(text, &err, piece, &unread)), bytesOf(whole)) << "pieces of " << piece;
        EXPECT_EQ(err, wholeErr) << "pieces of " << piece;
        EXPECT_EQ(unread, wholeUnread) << "pieces of " << piece;
    }
}

// Elements a save would lose: each is counted, and never loaded in part.
TEST(UnreadElements, AStoreOnOneLineLoadsNothingAndCountsEveryElement) {
    std::string a = makeId(0xa), b = makeId(0xb);
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><container_policies><policy id=\"" + a +
                       "\" global=\"2\" exec=\"1\" net=\"1\" file=\"1\"/><policy id=\"" + b +
                       "\" global=\"4\" exec=\"0\" net=\"0\" file=\"0\"/></container_policies>\n";
    size_t unread = 0;
    EXPECT_TRUE(parse(text, nullptr, 0, &unread).empty());
    EXPECT_EQ(unread, 2u);
}

TEST(UnreadElements, OnlyTheFirstOfTwoElementsOnALineIsLoaded) {
    std::string a = makeId(0xa), b = makeId(0xb);
    size_t unread = 0;
    auto recs =
        parse(kHead + "  <policy id=\"" + a + "\" global=\"2\"/><policy id=\"" + b + "\" global=\"4\"/>\n" + kTail,
              nullptr, 0, &unread);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::string(recs[0].container_id), a);
    EXPECT_EQ(unread, 1u);
}

TEST(UnreadElements, AnElementSpreadOverLinesIsNotLoadedWithItsSwitchesAsZero) {
    std::string a = makeId(0xa), b = makeId(0xb);
    std::string text = kHead + "  <policy id=\"" + a + "\" global=\"4\"\n      exec=\"1\" net=\"1\" file=\"1\"/>\n" +
                       "  <policy\n      id=\"" + b + "\" global=\"2\"/>\n" + "  <policy id=\"" + b +
                       "\" global=\"2\">\n  </policy>\n" + kTail;
    size_t unread = 0;
    EXPECT_TRUE(parse(text, nullptr, 0, &unread).empty());
    EXPECT_EQ(unread, 3u);
}

TEST(UnreadElements, ElementsSkippedForTheirIdentifierAreCounted) {
    std::string a = makeId(0xa);
    std::string err;
    size_t unread = 0;
    // "id" is found first inside "uid": the identifier read is "0".
    auto recs = parse(kHead + policyLine("uid=\"0\" id=\"" + a + "\" global=\"2\"") + policyLine("global=\"2\"") +
                          policyLine("id=\"" + std::string(63, 'f') + "\"") + kTail,
                      &err, 0, &unread);
    EXPECT_TRUE(recs.empty());
    EXPECT_EQ(unread, 3u);
    EXPECT_EQ(err, "Invalid container ID in XML: 0\nInvalid container ID in XML: " + std::string(63, 'f') + "\n");
}

TEST(UnreadElements, OnlyPolicyElementsCount) {
    std::string a = makeId(0xa), b = makeId(0xb);
    // Other elements whose names start alike, closing tags, a comment about
    // policies, and an element closed by its end tag on the same line.
    std::string text = kHead + "<policyList>\n</policy>\n<!-- one policy per line -->\n<policy_set id=\"" + a +
                       "\"/>\n<policy id=\"" + b + "\" global=\"4\"></policy>\n" + kTail;
    size_t unread = 7;
    auto recs = parse(text, nullptr, 0, &unread);
    EXPECT_EQ(unread, 0u);
    ASSERT_EQ(recs.size(), 2u);  // the scanner's rules are unchanged: any line with "policy" and an id
    EXPECT_EQ(std::string(recs[1].container_id), b);
    EXPECT_EQ(recs[1].global_switch, 4);

    std::vector<_ContainerPolicy> saved;
    for (unsigned i = 0; i < 40; ++i)
        saved.push_back(makePolicy(makeId(i), i, 1, 0, 1));
    parse(storeText(saved), nullptr, 0, &unread);
    EXPECT_EQ(unread, 0u) << "a store the store wrote reads whole";
}

TEST(LoadFile, MissingFileIsAnEmptyStoreWithoutMessage) {
    TempDir dir;
    _ContainerPolicy *recs = reinterpret_cast<_ContainerPolicy *>(0x1);
    int count = 7;
    CaptureOutput cap;
    EXPECT_EQ(vault::load(dir.file("container.xml").c_str(), &recs, &count), 0);
    EXPECT_EQ(recs, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cap.out() + cap.err(), "");
}

TEST(LoadFile, EmptyOrHeaderOnlyFileLoadsZeroWithMessage) {
    TempDir dir;
    std::string path = dir.file("container.xml");
    for (const std::string &text : {std::string(), kHead + kTail}) {
        writeFile(path, text);
        _ContainerPolicy *recs = nullptr;
        int count = -1;
        CaptureOutput cap;
        EXPECT_EQ(vault::load(path.c_str(), &recs, &count), 0);
        EXPECT_EQ(recs, nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(cap.out(), "Successfully loaded 0 policies from " + path + "\n");
    }
}

TEST(LoadFile, NonRegularPathIsAReadFailureWithEmptyResult) {
    TempDir dir;
    std::string target = dir.file("real.xml");
    writeFile(target, storeText({makePolicy(makeId(1), 2, 1, 1, 1)}));
    std::string link = dir.file("link.xml"), fifo = dir.file("fifo.xml"), sub = dir.file("sub.xml");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // must not block: no writer ever comes
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    for (const std::string &path : {link, fifo, sub}) {
        _ContainerPolicy *recs = nullptr;
        int count = -1;
        CaptureOutput cap;
        EXPECT_EQ(vault::load(path.c_str(), &recs, &count), -1);
        EXPECT_EQ(recs, nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(cap.err(), "Failed to read XML file: " + path + "\n");
        EXPECT_EQ(cap.out(), "");
    }
}

TEST(LoadFile, NullResultPointersAreRejected) {
    _ContainerPolicy *recs = nullptr;
    int count = 0;
    CaptureOutput cap;
    EXPECT_EQ(vault::load("/nonexistent/container.xml", nullptr, &count), -1);
    EXPECT_EQ(vault::load("/nonexistent/container.xml", &recs, nullptr), -1);
    EXPECT_EQ(cap.err(), "Invalid parameters\nInvalid parameters\n");
}

TEST(LoadFile, ReadingInPiecesCutsLinesAsParsingInOnePiece) {
    // Lines of every length cross the read-piece boundaries; one line is far
    // longer than a piece; the last line has no newline.
    std::mt19937 gen(7);
    std::string text = kHead;
    for (int i = 0; text.size() < 600000; ++i) {
        std::string id = makeId(static_cast<unsigned long>(i));
        if (i % 97 == 0)
            id[5] = 'x';
        text += std::string(gen() % 40, ' ') + "<policy id=\"" + id + "\" global=\"" + std::to_string(gen() % 1000) +
                "\" exec=\"" + std::to_string(i) + "\"/>" + std::string(gen() % 3 + 1, '\n');
        if (i == 1000)
            text += std::string(200000, 'p') + "olicy id=\"" + makeId(1) + "\"\n";
    }
    text += "<policy id=\"" + makeId(0xeee) + "\" net=\"1\"";
    TempDir dir;
    std::string path = dir.file("container.xml");
    writeFile(path, text);

    std::string parseErr;
    size_t unread = 0;
    auto expected = parse(text, &parseErr, 0, &unread);
    ASSERT_GT(expected.size(), 3000u);
    ASSERT_GT(unread, 30u);  // every 97th identifier is bad
    _ContainerPolicy *recs = nullptr;
    int count = 0;
    CaptureOutput cap;
    ASSERT_EQ(vault::load(path.c_str(), &recs, &count), 0);
    EXPECT_EQ(cap.err(), parseErr + "Warning: " + std::to_string(unread) + " policy elements in " + path +
                             " could not be read; the file must hold one policy per line\n");
    EXPECT_EQ(cap.out(), "Successfully loaded " + std::to_string(expected.size()) + " policies from " + path + "\n");
    EXPECT_EQ(bytesOf(recs, count), bytesOf(expected));
    std::free(recs);
}

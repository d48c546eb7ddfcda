// The converter's building blocks for hostile text: escaping, the quoted
// value index, and the digest of the duplicate cache.
#include "audit_record.h"
#include "event_text.h"
#include "key_digest.h"
#include "text_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vrex {
namespace {

TEST(Escaping, OnlyWhatCouldGarbleALineOrATerminal) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/etc/passwd", "/etc/passwd"},
        {"a,b\\c", "a\\x2cb\\x5cc"},
        {std::string("\0\x1f\x20\x7e\x7f", 5), "\\x00\\x1f ~\\x7f"},
        {"\r\n\t\x1b", "\\x0d\\x0a\\x09\\x1b"},
        // Valid UTF-8 of two, three and four bytes stays.
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf"},  // the highest of each
        // Stray continuation bytes, bytes that never occur, a lead at the end.
        {"\x80\xbf", "\\x80\\xbf"},
        {"\xc0\xc1\xf5\xff", "\\xc0\\xc1\\xf5\\xff"},
        {"a\xc3", "a\\xc3"},
        // Overlong forms, surrogates, past U+10FFFF: each byte escaped.
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        // A sequence cut short resumes at the byte that cut it.
        {"\xe2\x82x\xe2\x82\xac", "\\xe2\\x82x\xe2\x82\xac"},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(escaped(in), out) << testing::PrintToString(in);
}

TEST(HexValues, OnlyEvenRunsOfHexDigitsAreDecoded) {
    EXPECT_TRUE(isHexValue("2F746D70"));
    EXPECT_TRUE(isHexValue("2f746d70"));
    EXPECT_FALSE(isHexValue("2F746D7"));
    EXPECT_FALSE(isHexValue("2F746D7G"));
    EXPECT_FALSE(isHexValue(""));
    EXPECT_FALSE(isHexValue("/2F7"));
    std::string out;
    decodeHex("2F00ff0A", &out);
    EXPECT_EQ(out, std::string("/\0\xff\n", 4));
}

// The quote index is built 16, 32 or 64 bytes at a time: on random lines of
// every length, each position must be found inside or outside quotes exactly
// as counting the quotes before it says.
TEST(QuoteIndex, AgreesWithCountingQuotesAtEveryPosition) {
    std::mt19937 random(13);
    QuoteIndex index;
    for (std::size_t length = 0; length < 300; ++length) {
        std::string line(length, 'x');
        for (auto &c : line)
            c = "x \"="[random() % 4];
        AuditRecord record(line, index);
        bool inside = false;
        for (std::size_t pos = 0; pos <= length; ++pos) {
            ASSERT_EQ(record.insideQuotes(pos), inside) << "length " << length << " pos " << pos << ": " << line;
            if (pos < length && line[pos] == '"')
                inside = !inside;
        }
        const std::size_t blocks = length / 64 + 1;
        std::vector<std::uint64_t> fast(2 * blocks), plain(2 * blocks);
        text::quoteIndex(line.data(), length, fast.data(), fast.data() + blocks);
        text::quoteIndexPlain(line.data(), length, plain.data(), plain.data() + blocks);
        ASSERT_EQ(fast, plain) << line;
    }
}

TEST(KeyDigest, IsSipHash128UnderItsKey) {
    // The reference vectors: key 00..0f, messages 00..(n-1).
    KeyDigester::Key key;
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<std::uint8_t>(i);
    KeyDigester digester(key);
    auto hex = [](const KeyDigest &d) {
        char text[33];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(__builtin_bswap64(d.low)),
                      static_cast<unsigned long long>(__builtin_bswap64(d.high)));
        return std::string(text);
    };
    EXPECT_EQ(hex(digester.digest("")), "a3817f04ba25a8e66df67214c7550293");
    EXPECT_EQ(hex(digester.digest(std::string(1, '\0'))), "da87c1d86b99af44347659119b22fc45");
    // Another key gives other digests: a container cannot know them.
    key[0] = 1;
    EXPECT_NE(KeyDigester(key).digest(""), digester.digest(""));
    EXPECT_NE(KeyDigester().digest("k"), KeyDigester().digest("k"));
}

TEST(DigestSet, HoldsWhatWasInsertedUntilCleared) {
    DigestSet set(1000);
    KeyDigester digester;
    const std::size_t bytes = set.tableBytes();
    for (int i = 0; i <= 1000; ++i)
        set.insert(digester.digest(std::to_string(i)));
    EXPECT_EQ(set.size(), 1001u);
    EXPECT_TRUE(set.contains(digester.digest("0")));
    EXPECT_TRUE(set.contains(digester.digest("1000")));
    EXPECT_FALSE(set.contains(digester.digest("1001")));
    EXPECT_TRUE(set.contains(KeyDigest{}) == false);
    set.insert(KeyDigest{});  // the all-zero digest is a digest like any other
    EXPECT_TRUE(set.contains(KeyDigest{}));
    EXPECT_EQ(set.tableBytes(), bytes);
    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(set.contains(digester.digest("0")));
}

}  // namespace
}  // namespace vrex

// Saved position: the text is strict and checked, so that a damaged or
// foreign file is never trusted; saving replaces the file whole or not at
// all; and the fingerprint tells the content a position was taken in from
// new content under the same device and inode.
#include "position.h"
#include "sys_util.h"
#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

namespace vrex {
namespace {

ContentFingerprint someFingerprint(std::uint64_t offset) {
    const auto covered = static_cast<std::uint32_t>(std::min<std::uint64_t>(offset, kFingerprintBytes));
    return {covered == 0 ? 0 : std::min<std::uint32_t>(covered, 80), {1, 2}, covered, {3, 4}};
}

SavedPosition withReplay(std::size_t digests) {
    SavedPosition saved{{2049, 131075, 987654321}, someFingerprint(987654321), ReplayState{}};
    saved.replay->output = {2050, 77, 123456};
    for (std::uint8_t i = 0; i < 16; ++i)
        saved.replay->cache.key[i] = static_cast<std::uint8_t>(0xa0 + i);
    for (std::size_t i = 0; i < digests; ++i)
        saved.replay->cache.digests.push_back({i * 7919 + 1, ~i});
    return saved;
}

// The file text of saved with its body edited by change, and a check that
// matches the edited body: what a forger (or a bug) could produce.
std::string rechecked(const SavedPosition &saved, const std::function<void(std::string &)> &change) {
    std::string text = formatPosition(saved);
    std::string body = text.substr(0, text.rfind("check "));
    change(body);
    return body + "check " + positionCheck(body) + "\n";
}

TEST(Position, BothFormsRoundTripThroughTextIncludingExtremes) {
    std::vector<SavedPosition> all = {
        {{0, 0, 0}, std::nullopt, std::nullopt},
        {{UINT64_MAX, UINT64_MAX, UINT64_MAX}, std::nullopt, std::nullopt},
        {{0, 0, 0}, ContentFingerprint{0, {5, 6}, 0, {7, 8}}, std::nullopt},
        {{1, 2, 100}, someFingerprint(100), std::nullopt},
        {{UINT64_MAX, UINT64_MAX, UINT64_MAX}, someFingerprint(UINT64_MAX), std::nullopt},
        withReplay(0),
        withReplay(kDuplicateCacheLimit),
    };
    for (const SavedPosition &p : all) {
        const std::string text = formatPosition(p);
        auto parsed = parsePosition(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, p);
    }
    EXPECT_EQ(formatPosition(all[3]).rfind("vrex-log-converter position 2\ninput 1 2 100\nhead 80 ", 0), 0u);
    EXPECT_EQ(formatPosition(all[1]), "18446744073709551615 18446744073709551615 18446744073709551615\n");
}

TEST(Position, OlderFormStillReadsAndMalformedOnesAreRejected) {
    auto old = parsePosition("2049 131075 987\n");
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->position, (FilePosition{2049, 131075, 987}));
    EXPECT_FALSE(old->fingerprint.has_value());
    EXPECT_FALSE(old->replay.has_value());
    for (const char *bad : {"", "1 2 3", "1 2 3\n\n", "1 2\n", "1 2 3 4\n", "-1 2 3\n", "1  2 3\n", " 1 2 3\n",
                            "1 2 x\n", "1 2 3x\n", "18446744073709551616 1 1\n", "+1 2 3\n", "1\t2\t3\n"}) {
        EXPECT_FALSE(parsePosition(bad).has_value()) << '"' << bad << '"';
    }
    EXPECT_FALSE(parsePosition(std::string(100, '1') + " 1 1\n").has_value());
}

// Any damage to a saved file (one byte changed, cut short, something added)
// makes it untrusted as a whole: a wrong offset or cache would lose or
// repeat events.
TEST(Position, DamagedFileIsRejectedWhereverTheDamageIs) {
    const std::string text = formatPosition(withReplay(3));
    for (std::size_t at = 0; at < text.size(); ++at) {
        std::string damaged = text;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
        EXPECT_FALSE(parsePosition(damaged).has_value()) << "byte " << at << " changed";
    }
    for (std::size_t length = 0; length < text.size(); length += 7)
        EXPECT_FALSE(parsePosition(text.substr(0, length)).has_value()) << "cut to " << length;
    EXPECT_FALSE(parsePosition(text + "\n").has_value());
    EXPECT_FALSE(parsePosition(text + text).has_value());
}

// Files whose check matches but whose content this program never writes.
TEST(Position, ForeignContentIsRejectedEvenWithAMatchingCheck) {
    const SavedPosition base = withReplay(3);
    auto replaceFirst = [](std::string from, std::string to) {
        return [from, to](std::string &body) { body.replace(body.find(from), from.size(), to); };
    };
    const std::vector<std::pair<const char *, std::function<void(std::string &)>>> foreign = {
        {"a number with a leading zero", replaceFirst("input 2049", "input 02049")},
        {"upper-case hexadecimal", replaceFirst("cache a0a1", "cache A0A1")},
        {"a head longer than 4 KiB", replaceFirst("head 80 ", "head 4097 ")},
        {"a tail shorter than 4 KiB before a far offset", replaceFirst("tail 4096 ", "tail 100 ")},
        {"more digests than the cache holds", replaceFirst(" 3\n", " 1001\n")},
        {"fewer digest lines than counted", replaceFirst(" 3\n", " 4\n")},
        {"an unknown line", replaceFirst("output ", "extra 1\noutput ")},
        {"a blank where a number goes", replaceFirst("input 2049 ", "input  2049 ")},
    };
    for (const auto &[what, change] : foreign)
        EXPECT_FALSE(parsePosition(rechecked(base, change)).has_value()) << what;

    SavedPosition twice = withReplay(2);
    twice.replay->cache.digests[1] = twice.replay->cache.digests[0];
    EXPECT_FALSE(parsePosition(formatPosition(twice)).has_value()) << "one digest twice";
    SavedPosition zero = withReplay(2);
    zero.replay->cache.digests[0] = KeyDigest{};
    EXPECT_FALSE(parsePosition(formatPosition(zero)).has_value()) << "a zero digest (never stored)";
    SavedPosition headless = withReplay(0);
    headless.fingerprint->headLength = 0;
    EXPECT_FALSE(parsePosition(formatPosition(headless)).has_value()) << "no head before a non-zero offset";
}

TEST(Position, SaveThenLoadLeavesOneFileReadableByItsOwnerOnly) {
    testing::TempDir dir;
    std::string path = dir.file("position");
    std::string error;
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_EQ(error, "");

    ASSERT_TRUE(savePosition(path, {{1, 2, 3}, std::nullopt, std::nullopt}, &error)) << error;
    ASSERT_TRUE(savePosition(path, withReplay(kDuplicateCacheLimit), &error)) << error;
    auto loaded = loadPosition(path, &error);
    ASSERT_TRUE(loaded.has_value()) << error;
    EXPECT_EQ(*loaded, withReplay(kDuplicateCacheLimit));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the cache's key is in it";
    EXPECT_EQ(testing::directoryEntries(dir.path()), std::vector<std::string>{"position"});
}

TEST(Position, DamagedOrForeignFileIsReportedNotTrusted) {
    testing::TempDir dir;
    std::string path = dir.file("position");
    std::string error;
    testing::writeFile(path, "12 34 garbage\n");
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
    std::string text = formatPosition(withReplay(2));
    text[text.find("input ") + 6] = '9';
    testing::writeFile(path, text);
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    testing::writeFile(path, std::string(100000, '7'));
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_NE(error, "");
    // A FIFO in its place is no position, and does not block the start.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
}

TEST(Position, FailedSaveLeavesTheOldFileAndSaysWhy) {
    testing::TempDir dir;
    std::string error;
    const SavedPosition some{{1, 2, 3}, someFingerprint(3), std::nullopt};
    EXPECT_FALSE(savePosition(dir.file("missing/position"), some, &error));
    EXPECT_NE(error.find("missing/position"), std::string::npos) << error;

    // A directory standing at the path: the rename fails, the temp file goes.
    std::string path = dir.file("occupied");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((path + "/x").c_str(), 0755), 0);
    EXPECT_FALSE(savePosition(path, some, &error));
    EXPECT_NE(error.find("rename"), std::string::npos) << error;
    EXPECT_EQ(testing::directoryEntries(dir.path()), std::vector<std::string>{"occupied"})
        << "temporary file left behind";
}

TEST(Position, SavedFileIsFoundBesideThePathByDeviceAndInodeOnly) {
    testing::TempDir dir, elsewhere;
    testing::writeFile(dir.file("audit.log.1"), "rotated\n");
    testing::writeFile(dir.file("audit.log"), "new\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("audit.log.1").c_str(), &st), 0);
    const auto device = static_cast<std::uint64_t>(st.st_dev), inode = static_cast<std::uint64_t>(st.st_ino);
    std::string error;
    auto found = findSavedFile(dir.file("audit.log"), device, inode, &error);
    EXPECT_EQ(found, std::optional<std::string>(dir.file("audit.log.1"))) << error;

    // Another device with the same inode number is another file.
    EXPECT_EQ(findSavedFile(dir.file("audit.log"), device + 1, inode, &error), std::nullopt);
    EXPECT_EQ(error, "");

    // A symbolic link beside the path is not followed to the file.
    testing::writeFile(elsewhere.file("target"), "x\n");
    ASSERT_EQ(::stat(elsewhere.file("target").c_str(), &st), 0);
    ASSERT_EQ(::symlink(elsewhere.file("target").c_str(), dir.file("audit.log.2").c_str()), 0);
    EXPECT_EQ(findSavedFile(dir.file("audit.log"), static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino), &error),
              std::nullopt);
    EXPECT_EQ(error, "");

    EXPECT_EQ(findSavedFile(dir.file("missing/audit.log"), device, inode, &error), std::nullopt);
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

// --------------------------------------------------------- fingerprint

class Fingerprint : public ::testing::Test {
protected:
    // The fingerprint of text before offset, taken from a file.
    ContentFingerprint of(const std::string &text, std::uint64_t offset) {
        testing::writeFile(path_, text);
        UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        ContentFingerprint f;
        EXPECT_TRUE(takeFingerprint(fd.get(), offset, &f));
        return f;
    }
    ContentMatch compare(const std::string &text, std::uint64_t offset, const ContentFingerprint &f,
                         std::string *why = nullptr) {
        testing::writeFile(path_, text);
        UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        std::string ignored;
        return compareContent(fd.get(), offset, f, why ? why : &ignored);
    }

    testing::TempDir dir_;
    std::string path_ = dir_.file("audit.log");
};

const std::string kOld = "type=SYSCALL first line\n" + std::string(6000, 'a') + "\nline three\nline four\n";

TEST_F(Fingerprint, SameContentGrownOrNotIsTheSame) {
    const std::uint64_t offset = kOld.size() - 10;  // at "line four"
    const ContentFingerprint f = of(kOld, offset);
    EXPECT_EQ(f.headLength, 24u) << "the first line";
    EXPECT_EQ(f.tailLength, kFingerprintBytes);
    EXPECT_EQ(compare(kOld, offset, f), ContentMatch::Same);
    EXPECT_EQ(compare(kOld + "appended later\n", offset, f), ContentMatch::Same);
}

// copytruncate while stopped: the inode stays, the content is new.
TEST_F(Fingerprint, NewContentShorterOrLongerThanTheOffsetIsDifferent) {
    const std::uint64_t offset = kOld.size();
    const ContentFingerprint f = of(kOld, offset);
    std::string why;
    EXPECT_EQ(compare("type=SYSCALL other\nshort\n", offset, f, &why), ContentMatch::Different);
    EXPECT_NE(why.find("shorter"), std::string::npos) << why;
    EXPECT_EQ(compare("type=AVC new first line\n" + std::string(kOld.size() * 2, 'n') + "\n", offset, f, &why),
              ContentMatch::Different);
    EXPECT_NE(why.find("first line"), std::string::npos) << why;
    // The same first line (a header every file starts with), other lines.
    std::string sameHead = kOld;
    sameHead.replace(kOld.size() - 8, 4, "FOUR");
    EXPECT_EQ(compare(sameHead + "more\n", offset, f, &why), ContentMatch::Different);
    EXPECT_NE(why.find("before the saved offset"), std::string::npos) << why;
}

TEST_F(Fingerprint, ShorterFileBeginningAsBeforeLostItsTail) {
    const ContentFingerprint f = of(kOld, kOld.size());
    EXPECT_EQ(compare(kOld.substr(0, 3000), kOld.size(), f), ContentMatch::LostTail);
    // Not even the first line is left: nothing tells it is the same file.
    EXPECT_EQ(compare(kOld.substr(0, 10), kOld.size(), f), ContentMatch::Different);
}

TEST_F(Fingerprint, CoverageIsBoundedByTheOffsetAnd4KiB) {
    // A first line longer than 4 KiB: the head is its first 4 KiB.
    const std::string longFirst = std::string(5000, 'x') + "\nnext\n";
    EXPECT_EQ(of(longFirst, longFirst.size()).headLength, kFingerprintBytes);
    // An offset inside the first line: nothing past it is covered.
    const ContentFingerprint inside = of(kOld, 10);
    EXPECT_EQ(inside.headLength, 10u);
    EXPECT_EQ(inside.tailLength, 10u);
    EXPECT_EQ(compare(kOld.substr(0, 10) + "anything\n", 10, inside), ContentMatch::Same);
    // Offset 0 covers nothing: any content is where it was.
    const ContentFingerprint none = of(kOld, 0);
    EXPECT_EQ(none.headLength + none.tailLength, 0u);
    EXPECT_EQ(compare("other\n", 0, none), ContentMatch::Same);
    // A file that became shorter than the offset meanwhile has none.
    testing::writeFile(path_, "short\n");
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    ContentFingerprint f;
    EXPECT_FALSE(takeFingerprint(fd.get(), 100, &f));
}

}  // namespace
}  // namespace vrex

// Atomic file replacement and its temporary names: readers only ever see the
// old or the new content, a failure leaves no temporary file behind, the
// refusals happen where a caller asks for them, and the sweep of stale
// temporaries takes exactly our names and nothing else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "full_disk.h"
#include "sysutil/atomic_file.h"
#include "sysutil/path.h"
#include "test_util.h"

using namespace vrex::sys;
using vrex::testing::directoryEntries;
using vrex::testing::fileExists;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

class Replace : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("container.xml");

    mode_t modeOf(const std::string &p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    }
};

ReplaceOptions refusing() {
    ReplaceOptions o;
    o.regularTargetOnly = true;
    return o;
}

}  // namespace

TEST_F(Replace, NewContentReplacesTheOldWithTheModeAsked) {
    ASSERT_TRUE(replaceFile(path, "first", {}).ok());
    EXPECT_EQ(readFile(path), "first");
    EXPECT_EQ(modeOf(path), 0600u);  // the default: private
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(replaceFile(path, "second", {}).ok());
    EXPECT_EQ(modeOf(path), 0600u);  // not kept unless asked

    ReplaceOptions keep;
    keep.keepExistingMode = true;
    keep.mode = 0644;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(replaceFile(path, "third", keep).ok());
    EXPECT_EQ(readFile(path), "third");
    EXPECT_EQ(modeOf(path), 0640u);
    std::string fresh = dir.file("fresh.json");
    mode_t old = ::umask(077);  // the mode asked is set whatever the umask
    ASSERT_TRUE(replaceFile(fresh, "", keep).ok());
    ::umask(old);
    EXPECT_EQ(modeOf(fresh), 0644u);
    EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"container.xml", "fresh.json"}));
}

TEST_F(Replace, TheTemporaryFileIsBesideTheTargetUnderOurNameAndGoesIfNotCommitted) {
    writeFile(path, "old");
    std::string first, second;
    {
        AtomicFile a(path, {}), b(path, {});
        ASSERT_TRUE(a.open().ok());
        ASSERT_TRUE(b.open().ok());
        first = a.temporaryPath();
        second = b.temporaryPath();
        EXPECT_NE(first, second);
        for (const std::string &tmp : {first, second}) {
            EXPECT_EQ(directoryOf(tmp), dir.path());
            EXPECT_TRUE(isTemporaryNameOf(baseNameOf(tmp), "container.xml")) << tmp;
            EXPECT_TRUE(fileExists(tmp));
        }
        ASSERT_TRUE(a.write("new", 3).ok());
        EXPECT_EQ(readFile(path), "old");  // nothing shows before the commit
    }
    EXPECT_FALSE(fileExists(first));
    EXPECT_FALSE(fileExists(second));
    EXPECT_EQ(readFile(path), "old");
}

TEST_F(Replace, LinksAndOtherFilesAreRefusedOnlyWhenAsked) {
    std::string target = dir.file("target");
    writeFile(target, "keep me");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    ReplaceResult r = replaceFile(path, "x", refusing());
    EXPECT_EQ(r.failed, ReplaceStep::SymbolicLink);
    EXPECT_EQ(r.err, ELOOP);
    EXPECT_EQ(readFile(target), "keep me");
    EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"container.xml", "target"}));

    // Without the refusal the link itself is replaced; what it pointed at stays.
    ASSERT_TRUE(replaceFile(path, "x", {}).ok());
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(target), "keep me");

    std::string sub = dir.file("sub");
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    r = replaceFile(sub, "x", refusing());
    EXPECT_EQ(r.failed, ReplaceStep::NotRegular);
    // Not refused, a directory still cannot be renamed over.
    r = replaceFile(sub, "x", {});
    EXPECT_EQ(r.failed, ReplaceStep::Rename);
    EXPECT_EQ(r.err, EISDIR);
    EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"container.xml", "sub", "target"}));
}

TEST_F(Replace, AFailedWriteKeepsTheOldContentAndLeavesNoTemporaryFile) {
    writeFile(path, "old content");
    auto child = vrex::testing::runWithFileSizeLimit(4096, [&] {
        std::string big(10000, 'n');
        ReplaceResult r = replaceFile(path, big, refusing());
        std::printf("%d %d", static_cast<int>(r.failed), r.err);
        return 0;
    });
    EXPECT_EQ(child.out, std::to_string(static_cast<int>(ReplaceStep::Write)) + " " + std::to_string(EFBIG));
    EXPECT_EQ(readFile(path), "old content");
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"container.xml"});
}

TEST_F(Replace, AMissingDirectoryFailsTheCreation) {
    ReplaceResult r = replaceFile(dir.file("none/container.xml"), "x", refusing());
    EXPECT_EQ(r.failed, ReplaceStep::Create);
    EXPECT_EQ(r.err, ENOENT);
}

TEST(TemporaryNames, MatchOnlyTheWholeScheme) {
    const std::string target = "container.xml";
    for (const char *ours : {".container.xml.tmp.1.0123456789abcdef", ".container.xml.tmp.4194304.ffffffffffffffff",
                             ".container.xml.tmp.1234567890.0000000000000000"})
        EXPECT_TRUE(isTemporaryNameOf(ours, target)) << ours;
    for (const char *theirs : {
             ".container.xml.bak",
             "container.xml.backup",
             "container.xml.220101",
             ".container.xml.4242.deadbeef",                     // an older writer's name
             "container.xml.aB3xY9",                             // an older writer's name
             "container.xml.tmp.1.0123456789abcdef",             // no leading dot
             ".container.xml.tmp.1.0123456789ABCDEF",            // upper-case digits
             ".container.xml.tmp.1.0123456789abcde",             // 15 digits
             ".container.xml.tmp.1.0123456789abcdef0",           // 17 digits
             ".container.xml.tmp..0123456789abcdef",             // no pid
             ".container.xml.tmp.12a.0123456789abcdef",          // not a pid
             ".container.xml.tmp.12345678901.0123456789abcdef",  // 11 digits of pid
             ".container.xml.tmp.1.0123456789abcdeg",
             ".container.xml.tmp.1",
             ".container.xmlx.tmp.1.0123456789abcdef",  // another target's
             ".other.xml.tmp.1.0123456789abcdef",
             ".container.xml.tmp.1.0123456789abcdef.bak",
         })
        EXPECT_FALSE(isTemporaryNameOf(theirs, target)) << theirs;
}

TEST(SweepStaleTemporaries, RemovesOurRegularFilesAndNothingElse) {
    TempDir dir;
    const std::string path = dir.file("zorva_container.json");
    writeFile(path, "{}");
    writeFile(dir.file(".zorva_container.json.tmp.77.0123456789abcdef"), "{\"scene\":");
    writeFile(dir.file(".zorva_container.json.tmp.78.fedcba9876543210"), "");
    const std::vector<std::string> kept = {
        ".zorva_container.json.tmp.1.aaaaaaaaaaaaaaaa",  // a directory of that name
        ".zorva_container.json.tmp.2.bbbbbbbbbbbbbbbb",  // a link of that name
        ".zorva_container.json.tmp.3.0123456789abcdef.bak",
        "zorva_container.json",
        "zorva_container.json.220101",
        "zorva_container.json.aB3xY9",
        "zorva_container.json.backup",
    };
    ASSERT_EQ(::mkdir(dir.file(kept[0]).c_str(), 0700), 0);
    ASSERT_EQ(::symlink(path.c_str(), dir.file(kept[1]).c_str()), 0);
    for (size_t i = 2; i < kept.size(); ++i)
        if (kept[i] != "zorva_container.json")
            writeFile(dir.file(kept[i]), "not ours");
    sweepStaleTemporaries(path);
    EXPECT_EQ(directoryEntries(dir.path()), kept);
    EXPECT_EQ(readFile(path), "{}");
}

TEST(SweepStaleTemporaries, RunsOnOpenOnlyWhenAsked) {
    TempDir dir;
    const std::string path = dir.file("container.xml");
    const std::string stale = dir.file(".container.xml.tmp.99.0123456789abcdef");
    writeFile(stale, "half");
    {
        AtomicFile file(path, {});
        ASSERT_TRUE(file.open().ok());
    }
    EXPECT_TRUE(fileExists(stale));
    ReplaceOptions sweeping;
    sweeping.sweepStale = true;
    ASSERT_TRUE(replaceFile(path, "x", sweeping).ok());
    EXPECT_FALSE(fileExists(stale));
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"container.xml"});
}

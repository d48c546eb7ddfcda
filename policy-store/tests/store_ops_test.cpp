// The store operations on a temporary directory: what each one changes in
// the file, what it prints on which channel, and that a failed write never
// damages the store.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "full_disk.h"
#include "record_fixtures.h"
#include "store_core.h"
#include "test_util.h"

using namespace vrex::testing;

namespace {

const std::string kEmptyStore = kStoreHead + kStoreTail;

class StoreOps : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("container.xml");
    std::string kernel = dir.file("dockerstatus");
    const char *p() const { return path.c_str(); }

    void seed(const std::vector<_ContainerPolicy> &recs) { writeFile(path, storeText(recs)); }

    ino_t inode() const {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    // Names in the directory other than the store, its lock file and the
    // kernel stand-in: leftovers of a failed write would show here.
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> names;
        for (const auto &n : directoryEntries(dir.path()))
            if (n != "container.xml" && n != "container.xml.lock" && n != "dockerstatus")
                names.push_back(n);
        return names;
    }
};

std::vector<_ContainerPolicy> manyPolicies(unsigned n) {
    std::vector<_ContainerPolicy> recs;
    for (unsigned i = 0; i < n; ++i)
        recs.push_back(makePolicy(makeId(i), 2, 1, 1, 1));
    return recs;
}

}  // namespace

TEST_F(StoreOps, AddToMissingFileCreatesItWithTheOneRecord) {
    _ContainerPolicy rec = makePolicy(makeId(0xfeed), 2, 1, 0, 1);
    CaptureOutput cap;
    ASSERT_EQ(vault::add_policy(p(), &rec), 0);
    EXPECT_EQ(cap.out(), "Successfully saved 1 policies to " + path +
                             "\nSuccessfully added/updated policy for container " + makeId(0xfeed) + "\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(readFile(path), storeText({rec}));
}

TEST_F(StoreOps, AddReplacesTheSameIdentifierInPlace) {
    auto recs = manyPolicies(3);
    seed(recs);
    _ContainerPolicy update = makePolicy(makeId(1), 4, 0, 0, 0);
    {
        CaptureOutput cap;
        ASSERT_EQ(vault::add_policy(p(), &update), 0);
        EXPECT_EQ(cap.out(), "Successfully loaded 3 policies from " + path + "\nSuccessfully saved 3 policies to " +
                                 path + "\nSuccessfully added/updated policy for container " + makeId(1) + "\n");
    }
    recs[1] = update;
    EXPECT_EQ(readFile(path), storeText(recs));
    // A new identifier goes to the end; case is not folded.
    _ContainerPolicy upper = makePolicy(makeId(0xabc, '0'), 2, 0, 0, 0);
    for (char &c : upper.container_id)
        c = static_cast<char>(toupper(c));
    seed({makePolicy(makeId(0xabc), 0, 0, 0, 0)});
    CaptureOutput cap;
    ASSERT_EQ(vault::add_policy(p(), &upper), 0);
    EXPECT_EQ(readFile(path), storeText({makePolicy(makeId(0xabc), 0, 0, 0, 0), upper}));
}

TEST_F(StoreOps, AddRejectsBadRecordsAndMissingDirectory) {
    _ContainerPolicy bad = makePolicy("12345", 2, 1, 1, 1);
    {
        CaptureOutput cap;
        EXPECT_EQ(vault::add_policy(p(), &bad), -1);
        EXPECT_EQ(vault::add_policy(p(), nullptr), -1);
        EXPECT_EQ(cap.err(), "Invalid policy or container ID\nInvalid policy or container ID\n");
    }
    std::string missing = dir.file("nodir") + "/container.xml";
    _ContainerPolicy good = makePolicy(makeId(1), 2, 1, 1, 1);
    CaptureOutput cap;
    EXPECT_EQ(vault::add_policy(missing.c_str(), &good), -1);
    EXPECT_EQ(cap.err(), "Directory does not exist: " + dir.file("nodir") + "\nFailed to check directory exists\n");
    EXPECT_FALSE(fileExists(dir.file("nodir")));
    EXPECT_FALSE(fileExists(path));
}

TEST_F(StoreOps, FailedLoadStopsAddAndRemoveWithoutWriting) {
    ASSERT_EQ(mkfifo(p(), 0600), 0);
    _ContainerPolicy rec = makePolicy(makeId(1), 2, 1, 1, 1);
    CaptureOutput cap;
    EXPECT_EQ(vault::add_policy(p(), &rec), -1);
    EXPECT_EQ(vault::remove_policy(p(), makeId(1).c_str()), -1);  // not a success: nothing was removed
    EXPECT_EQ(cap.err(), "Failed to read XML file: " + path + "\nFailed to read XML file: " + path + "\n");
    struct stat st;
    ASSERT_EQ(lstat(p(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(StoreOps, RemoveClosesTheGapKeepingOrder) {
    auto recs = manyPolicies(4);
    recs.push_back(recs[1]);  // a duplicate: only the first goes
    seed(recs);
    {
        CaptureOutput cap;
        ASSERT_EQ(vault::remove_policy(p(), makeId(1).c_str()), 0);
        EXPECT_EQ(cap.out(), "Successfully loaded 5 policies from " + path + "\nSuccessfully saved 4 policies to " +
                                 path + "\nSuccessfully removed policy for container " + makeId(1) + "\n");
    }
    EXPECT_EQ(readFile(path), storeText({recs[0], recs[2], recs[3], recs[4]}));
}

TEST_F(StoreOps, RemoveOfUnknownIdentifierDoesNotRewrite) {
    seed(manyPolicies(2));
    ino_t before = inode();
    CaptureOutput cap;
    EXPECT_EQ(vault::remove_policy(p(), makeId(99).c_str()), 0);
    EXPECT_EQ(cap.out(), "Successfully loaded 2 policies from " + path + "\n");
    EXPECT_EQ(inode(), before);  // a save would have renamed a new file in
    EXPECT_EQ(vault::remove_policy(dir.file("none.xml").c_str(), makeId(99).c_str()), 0);
    EXPECT_FALSE(fileExists(dir.file("none.xml")));
}

TEST_F(StoreOps, RemovingTheLastRecordLeavesTheEmptyStore) {
    seed(manyPolicies(1));
    CaptureOutput cap;
    ASSERT_EQ(vault::remove_policy(p(), makeId(0).c_str()), 0);
    EXPECT_EQ(readFile(path), kEmptyStore);
    EXPECT_EQ(vault::remove_policy(p(), "xyz"), -1);
    EXPECT_EQ(vault::remove_policy(p(), nullptr), -1);
    EXPECT_EQ(cap.err(), "Invalid container ID\nInvalid container ID\n");
}

TEST_F(StoreOps, FindCopiesTheWholeFirstMatch) {
    auto recs = manyPolicies(3);
    recs[2] = makePolicy(makeId(1), 9, 8, 7, 6);  // duplicate of index 1
    recs[1] = makePolicy(makeId(1), 4, 0, 1, 0);
    seed(recs);
    _ContainerPolicy out;
    std::memset(&out, 0xee, sizeof out);
    CaptureOutput cap;
    ASSERT_EQ(vault::find_policy(p(), makeId(1).c_str(), &out), 0);
    EXPECT_EQ(bytesOf(&out, 1), bytesOf({recs[1]}));
    EXPECT_EQ(cap.err(), "");
}

TEST_F(StoreOps, FindMissesSilentlyAndIsCaseExact) {
    _ContainerPolicy out;
    {
        CaptureOutput cap;
        EXPECT_EQ(vault::find_policy(p(), makeId(1).c_str(), &out), -1);  // missing store
        EXPECT_EQ(cap.out() + cap.err(), "");
    }
    std::string upper(64, 'A');
    seed({makePolicy(upper, 2, 0, 0, 0)});
    CaptureOutput cap;
    EXPECT_EQ(vault::find_policy(p(), std::string(64, 'a').c_str(), &out), -1);
    EXPECT_EQ(vault::find_policy(p(), upper.c_str(), &out), 0);
    EXPECT_EQ(vault::find_policy(p(), "short", &out), -1);
    EXPECT_EQ(vault::find_policy(p(), upper.c_str(), nullptr), -1);
    EXPECT_EQ(cap.err(), "Invalid parameters\nInvalid parameters\n");
}

TEST_F(StoreOps, ClearWritesTheEmptyStoreAlsoWhenMissing) {
    {
        CaptureOutput cap;
        ASSERT_EQ(vault::clear_all(p()), 0);
        EXPECT_EQ(cap.out(), "Successfully cleared all policies in " + path + "\n");
    }
    EXPECT_EQ(readFile(path), kEmptyStore);
    struct stat st;
    ASSERT_EQ(stat(p(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    seed(manyPolicies(5));
    CaptureOutput cap;
    ASSERT_EQ(vault::clear_all(p()), 0);
    EXPECT_EQ(readFile(path), kEmptyStore);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(StoreOps, SaveAndClearRefuseLinksAndNonRegularFiles) {
    std::string target = dir.file("target");
    writeFile(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), p()), 0);
    auto recs = manyPolicies(1);
    {
        CaptureOutput cap;
        EXPECT_EQ(vault::save(p(), recs.data(), 1), -1);
        EXPECT_EQ(vault::clear_all(p()), -1);
        EXPECT_EQ(cap.err(), "open: Too many levels of symbolic links\nopen: Too many levels of symbolic links\n");
        EXPECT_EQ(cap.out(), "");
    }
    EXPECT_EQ(readFile(target), "keep me");
    ASSERT_EQ(unlink(p()), 0);
    ASSERT_EQ(mkdir(p(), 0700), 0);
    CaptureOutput cap;
    EXPECT_EQ(vault::save(p(), recs.data(), 1), -1);
    EXPECT_EQ(vault::clear_all(p()), -1);
    EXPECT_EQ(cap.err(), "Path is not a regular file: " + path + "\nPath is not a regular file: " + path + "\n");
    std::vector<std::string> stray = strayFiles();
    EXPECT_EQ(stray, std::vector<std::string>{"target"});
}

TEST_F(StoreOps, SaveRejectsBadArgumentsAndPaths) {
    auto recs = manyPolicies(1);
    CaptureOutput cap;
    EXPECT_EQ(vault::save(p(), recs.data(), -1), -1);
    EXPECT_EQ(vault::save(p(), nullptr, 1), -1);
    std::string longPath = dir.path() + "/" + std::string(260, 'x');
    EXPECT_EQ(vault::save(longPath.c_str(), recs.data(), 1), -1);
    writeFile(dir.file("plain"), "");
    std::string underFile = dir.file("plain") + "/container.xml";
    EXPECT_EQ(vault::save(underFile.c_str(), recs.data(), 1), -1);
    EXPECT_EQ(cap.err(), "Invalid parameters\nInvalid parameters\nPath too long\nPath exists but is not a directory: " +
                             dir.file("plain") + "\n");
    EXPECT_FALSE(fileExists(path));
}

TEST_F(StoreOps, FailedWriteKeepsTheOldFileAndRemovesTheTemporary) {
    auto old = manyPolicies(3);
    seed(old);
    std::string before = readFile(path);
    auto big = manyPolicies(200);  // about 22 KB: cannot be written under 4 KB
    ProcessResult r = runWithFileSizeLimit(4096, [&] { return vault::save(p(), big.data(), 200); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "write: File too large\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(strayFiles().empty());

    // Three records take 439 bytes, four take 558: the add cannot finish.
    ProcessResult add = runWithFileSizeLimit(500, [&] {
        _ContainerPolicy rec = makePolicy(makeId(0x5000), 2, 2, 2, 2);
        return vault::add_policy(p(), &rec);
    });
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_EQ(add.err, "write: File too large\n");
    EXPECT_EQ(add.out, "Successfully loaded 3 policies from " + path + "\n");
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(StoreOps, SaveRemovesTemporaryFilesOfKilledWritersAndNothingElse) {
    writeFile(dir.file(".container.xml.tmp.4242.00000000deadbeef"), "half a store");
    writeFile(dir.file(".container.xml.tmp.1.0123456789abcdef"), "half a store");
    // Files of other tools and people beside the store, and an older
    // writer's name: none of them is ours to remove.
    const std::vector<std::string> kept = {".container.xml.4242.deadbeef",      ".container.xml.bak",
                                           ".container.xml.tmp.4242.deadbeef",  ".container.xmlx",
                                           ".other.xml.tmp.1.0123456789abcdef", "container.xml.bak"};
    for (const auto &name : kept)
        writeFile(dir.file(name), "not ours");
    CaptureOutput cap;
    ASSERT_EQ(vault::clear_all(p()), 0);
    ASSERT_EQ(vault::save(p(), nullptr, 0), 0);
    EXPECT_EQ(strayFiles(), kept);
}

TEST_F(StoreOps, LoadToArrayEmptiesTheDescriptorFirst) {
    auto recs = manyPolicies(2);
    seed(recs);
    ContainerPolicyArray arr;
    std::memset(&arr, 0x5a, sizeof arr);  // an uninitialised descriptor is not freed
    {
        CaptureOutput cap;
        ASSERT_EQ(vault::load_to_array(p(), &arr), 0);
        EXPECT_EQ(vault::load_to_array(p(), nullptr), -1);
        EXPECT_EQ(cap.err(), "");  // a null descriptor fails without a message
    }
    EXPECT_EQ(arr.count, 2);
    EXPECT_EQ(arr.reserved, 0);
    EXPECT_EQ(bytesOf(arr.policies, arr.count), bytesOf(recs));
    vault::array_free(&arr);
    EXPECT_EQ(arr.policies, nullptr);
    EXPECT_EQ(arr.count, 0);
    vault::array_free(nullptr);

    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    CaptureOutput cap;
    std::memset(&arr, 0x5a, sizeof arr);
    EXPECT_EQ(vault::load_to_array(dir.file("sub").c_str(), &arr), -1);
    EXPECT_EQ(arr.policies, nullptr);
    EXPECT_EQ(arr.count, 0);
}

TEST_F(StoreOps, InitAndExistsLookAtThePathAsGiven) {
    CaptureOutput cap;
    EXPECT_EQ(vault::init(p()), 0);
    EXPECT_EQ(vault::init((dir.file("gone") + "/container.xml").c_str()), -1);
    EXPECT_EQ(cap.err(), "Directory does not exist: " + dir.file("gone") + "\n");
    EXPECT_FALSE(vault::exists(p()));
    seed({});
    EXPECT_TRUE(vault::exists(p()));
    ASSERT_EQ(symlink(p(), dir.file("link").c_str()), 0);
    EXPECT_TRUE(vault::exists(dir.file("link").c_str()));  // links are followed here
    EXPECT_FALSE(vault::exists(dir.path().c_str()));
    EXPECT_EQ(vault::check_directory_exists("container.xml"), 0);  // no directory part
}

TEST_F(StoreOps, SyncWritesAllRecordsInOneWrite) {
    auto recs = manyPolicies(3);
    recs[1].global_switch = 4;
    seed(recs);
    writeFile(kernel, "");
    CaptureOutput cap;
    ASSERT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), 0);
    EXPECT_EQ(cap.out(),
              "Successfully loaded 3 policies from " + path + "\nSuccessfully synced 3 policies to kernel\n");
    std::string sent = readFile(kernel);
    EXPECT_EQ(sent.size(), 207u);
    EXPECT_EQ(sent, bytesOf(recs));
}

TEST_F(StoreOps, SyncOfEmptyStoreDoesNotOpenTheKernelFile) {
    seed({});
    CaptureOutput cap;
    EXPECT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), 0);
    EXPECT_EQ(cap.out(), "Successfully loaded 0 policies from " + path + "\nNo policies to sync\n");
    EXPECT_FALSE(fileExists(kernel));
}

TEST_F(StoreOps, SyncFailuresAreReported) {
    seed(manyPolicies(1));
    {
        CaptureOutput cap;
        EXPECT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), -1);  // no kernel file
        EXPECT_EQ(cap.err(), "open sysfs: No such file or directory\n");
    }
    ASSERT_EQ(unlink(p()), 0);
    ASSERT_EQ(mkdir(p(), 0700), 0);
    CaptureOutput cap;
    EXPECT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), -1);
    EXPECT_EQ(cap.err(), "Failed to read XML file: " + path + "\nFailed to load policies from XML\n");
}

TEST_F(StoreOps, SyncReportsAShortWriteAsFailure) {
    seed(manyPolicies(3));
    writeFile(kernel, "");
    ProcessResult r = runWithFileSizeLimit(100, [&] { return vault::sync_to_kernel(p(), kernel.c_str()); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Short write to sysfs: 100 of 207 bytes accepted\n");
    EXPECT_EQ(r.out, "Successfully loaded 3 policies from " + path + "\n");
}

// A store that does not hold one policy per line: the records read are only
// part of it, so nothing may save them over it.
class UnreadStore : public StoreOps {
protected:
    const std::string a = makeId(0xa), b = makeId(0xb), c = makeId(0xc);
    // A valid store on one line, then a line with two policies: three
    // elements that no load reads, one record (c) that it does.
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><container_policies><policy id=\"" + a +
                             "\" global=\"2\" exec=\"1\" net=\"1\" file=\"1\"/><policy id=\"" + b +
                             "\" global=\"4\" exec=\"0\" net=\"0\" file=\"0\"/></container_policies>\n" +
                             "<policy id=\"" + c + "\" global=\"2\" exec=\"1\" net=\"0\" file=\"1\"/><policy id=\"" +
                             a + "\" global=\"0\"/>\n";
    std::string refusal() const {
        return "Not saving " + path +
               ": 3 policy elements in it could not be read; the file must hold one policy per line\n";
    }
    void SetUp() override { writeFile(path, text); }
};

TEST_F(UnreadStore, AddAndRemoveRefuseAndLeaveTheFileAsItWas) {
    ino_t before = inode();
    _ContainerPolicy update = makePolicy(a, 0, 0, 0, 0), added = makePolicy(makeId(0xd), 2, 1, 1, 1);
    CaptureOutput cap;
    EXPECT_EQ(vault::add_policy(p(), &update), -1);
    EXPECT_EQ(vault::add_policy(p(), &added), -1);
    // Also for an identifier it did not find: it may be in what was not read.
    EXPECT_EQ(vault::remove_policy(p(), b.c_str()), -1);
    EXPECT_EQ(vault::remove_policy(p(), c.c_str()), -1);
    EXPECT_EQ(cap.err(), refusal() + refusal() + refusal() + refusal());
    EXPECT_EQ(cap.out().find("Successfully saved"), std::string::npos) << cap.out();
    EXPECT_EQ(readFile(path), text);
    EXPECT_EQ(inode(), before);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(UnreadStore, ClearStillEmptiesItOnPurpose) {
    CaptureOutput cap;
    ASSERT_EQ(vault::clear_all(p()), 0);
    EXPECT_EQ(readFile(path), kEmptyStore);
    EXPECT_EQ(cap.err(), "");
}

TEST_F(UnreadStore, SyncPushesWhatItReadThenFailsWithTheCount) {
    writeFile(kernel, "");
    CaptureOutput cap;
    EXPECT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), -1);
    EXPECT_EQ(readFile(kernel), bytesOf({makePolicy(c, 2, 1, 0, 1)}));
    EXPECT_EQ(cap.err(), "3 policy elements in " + path +
                             " could not be read and will not be synced; the file must hold one policy per line\n");
    EXPECT_EQ(cap.out(),
              "Successfully loaded 1 policies from " + path + "\nSuccessfully synced 1 policies to kernel\n");
}

TEST_F(UnreadStore, SyncWithNothingReadLeavesTheKernelAlone) {
    writeFile(path, text.substr(0, text.find('\n') + 1));  // the one-line store alone
    CaptureOutput cap;
    EXPECT_EQ(vault::sync_to_kernel(p(), kernel.c_str()), -1);
    EXPECT_FALSE(fileExists(kernel)) << "an empty write would have cleared the kernel's table";
    EXPECT_EQ(cap.out(), "Successfully loaded 0 policies from " + path + "\n");
    EXPECT_EQ(cap.err(), "2 policy elements in " + path +
                             " could not be read and will not be synced; the file must hold one policy per line\n");
}

TEST_F(UnreadStore, ReadsWarnAndReturnWhatTheyRead) {
    const std::string warning =
        "Warning: 3 policy elements in " + path + " could not be read; the file must hold one policy per line\n";
    _ContainerPolicy found;
    ContainerPolicyArray arr;
    CaptureOutput cap;
    EXPECT_EQ(vault::find_policy(p(), c.c_str(), &found), 0);
    EXPECT_EQ(vault::find_policy(p(), b.c_str(), &found), -1);
    ASSERT_EQ(vault::load_to_array(p(), &arr), 0);
    EXPECT_EQ(bytesOf(arr.policies, arr.count), bytesOf({makePolicy(c, 2, 1, 0, 1)}));
    vault::array_free(&arr);
    EXPECT_EQ(cap.err(), warning + warning + warning);
}

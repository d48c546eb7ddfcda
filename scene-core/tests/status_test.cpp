// The status operations with their entry checks, run on temporary files with
// a stand-in caller path and a fake store library.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "common/kernel_record.h"
#include "common/store_bridge.h"
#include "policy/container_status.h"
#include "policy/document_file.h"
#include "full_disk.h"
#include "record_fixtures.h"
#include "sysutil/lock_file.h"
#include "test_util.h"

using namespace zorva::scene;
using vrex::testing::CaptureOutput;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

// ---- fake store library, reached through the loader table ----
struct FakeStore {
    bool loadFails = false;
    bool symbolMissing = false;
    int addResult = 0;
    int opened = 0;
    int closed = 0;
    int initCalls = 0;
    std::vector<std::string> records;  // the 69 bytes of each record handed over
} fake;

int fakeHandle;
int fakeInit() { return ++fake.initCalls, 0; }
int fakeAdd(const _ContainerPolicy *p) {
    fake.records.emplace_back(reinterpret_cast<const char *>(p), sizeof *p);
    return fake.addResult;
}
const StoreLoader kFakeLoader{
    "libvault_store.so",
    [](const char *name, int) -> void * {
        if (fake.loadFails || std::strcmp(name, "libvault_store.so") != 0)
            return nullptr;
        ++fake.opened;
        return &fakeHandle;
    },
    [](void *, const char *name) -> void * {
        if (std::strcmp(name, "vault_store_add_policy") == 0 && !fake.symbolMissing)
            return reinterpret_cast<void *>(&fakeAdd);
        if (std::strcmp(name, "vault_store_init") == 0)
            return reinterpret_cast<void *>(&fakeInit);
        return nullptr;
    },
    [](void *) { return ++fake.closed, 0; },
    []() -> const char * { return fake.loadFails ? "libvault_store.so: cannot open shared object file" : nullptr; },
};

std::string daemonPath() { return "/usr/sbin/zorva-daemon"; }
std::string sbinDaemonPath() { return "/sbin/zorva-daemon"; }
std::string strangerPath() { return "/usr/bin/zorva-daemon"; }
std::string unknownPath() { return ""; }

const std::string kId(64, 'a');
const std::string kOtherId = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

const auto &record = vrex::testing::recordBytes;

class StatusOps : public ::testing::Test {
protected:
    TempDir dir;
    StatusContext ctx;
    zorva_scene_addon_info addon{"zorva_container", 0};

    void SetUp() override {
        fake = FakeStore{};
        ctx.documentPath = dir.file("zorva_container.json");
        ctx.policyPath = dir.file("zorva_container.policy");
        ctx.kernelStatusPath = dir.file("dockerstatus");
        ctx.kernelTableLockPath = dir.file("run/container-policy.lock");
        ctx.moduleName = "container";
        ctx.store = &kFakeLoader;
        ctx.callerExecutable = &daemonPath;
        writeFile(ctx.documentPath, readFile(VREX_DEFAULT_SCENE_DOCUMENT));
        writeFile(ctx.kernelStatusPath, "");
    }

    std::string document() { return readFile(ctx.documentPath); }
    std::string kernel() { return readFile(ctx.kernelStatusPath); }

    Container stored(const std::string &id) {
        auto policy = loadPolicy(ctx.documentPath);
        EXPECT_TRUE(policy.ok());
        auto state = readContainerState(*findModule(policy.value(), "container").value(), id);
        EXPECT_TRUE(state.ok()) << id;
        return state.ok() ? state.value() : Container{-1, -1, -1, -1};
    }

    size_t entries() {
        auto policy = loadPolicy(ctx.documentPath);
        return findModule(policy.value(), "container").value()->variables.size();
    }

    // Runs fn with output captured; returns {result, printed text}.
    template <typename F>
    std::pair<int32_t, std::string> capture(F &&fn) {
        CaptureOutput out;
        int32_t r = fn();
        return {r, out.out()};
    }
    std::pair<int32_t, std::string> setStatus(const char *id, int32_t status, const zorva_scene_addon_info *a) {
        return capture([&] { return runSetStatus(ctx, id, status, a); });
    }
    std::pair<int32_t, std::string> setStatus(const std::string &id, int32_t status) {
        return setStatus(id.c_str(), status, &addon);
    }
    std::pair<int32_t, std::string> getStatus(const char *id, const zorva_scene_addon_info *a) {
        return capture([&] { return runGetStatus(ctx, id, a); });
    }
    std::pair<int32_t, std::string> setModule(const char *id, uint32_t m, uint32_t s, const zorva_scene_addon_info *a) {
        return capture([&] { return runSetModuleStatus(ctx, id, m, s, a); });
    }
    std::pair<int32_t, std::string> getModule(const char *id, uint32_t m, const zorva_scene_addon_info *a) {
        return capture([&] { return runGetModuleStatus(ctx, id, m, a); });
    }
};

using Outcome = std::pair<int32_t, std::string>;

}  // namespace

TEST_F(StatusOps, OnlyTheDaemonMayCallAndTheCheckComesFirst) {
    const std::string before = document();
    for (auto exe : {&strangerPath, &unknownPath}) {
        ctx.callerExecutable = exe;
        std::string shown = exe()[0] ? exe() : "(unknown)";
        std::string line = "permission denied: caller " + shown + " is not the zorva daemon\n";
        EXPECT_EQ(setStatus(kId, 2), Outcome(-4, line));
        EXPECT_EQ(setStatus(nullptr, 7, nullptr), Outcome(-4, line));
        EXPECT_EQ(getStatus(nullptr, nullptr), Outcome(-4, line));
        EXPECT_EQ(setModule(kId.c_str(), 0, 1, &addon), Outcome(-4, line));
        EXPECT_EQ(getModule(kId.c_str(), 0, &addon), Outcome(-4, line));
    }
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
    ctx.callerExecutable = &sbinDaemonPath;
    EXPECT_EQ(setStatus(kId, 2).first, 0);
}

namespace {
std::string deletedDaemonPath() { return "/usr/sbin/zorva-daemon (deleted)"; }
std::string deletedSbinDaemonPath() { return "/sbin/zorva-daemon (deleted)"; }
}  // namespace

TEST_F(StatusOps, TheDaemonReplacedOnDiskByAnUpgradeIsStillTheDaemon) {
    for (auto exe : {&deletedDaemonPath, &deletedSbinDaemonPath}) {
        ctx.callerExecutable = exe;
        EXPECT_EQ(setStatus(kId, 2).first, 0) << exe();
        EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(2, "")) << exe();
    }
    // Exactly that form, and only for the two paths.
    static std::string shown;
    for (const char *name : {"/usr/sbin/zorva-daemon (deleted) (deleted)", "/usr/sbin/zorva-daemon(deleted)",
                             "/usr/sbin/zorva-daemon (deleted)x", "/usr/sbin/zorva-daemon (Deleted)",
                             "/usr/bin/zorva-daemon (deleted)", " (deleted)"}) {
        shown = name;
        ctx.callerExecutable = [] { return shown; };
        EXPECT_EQ(setStatus(kId, 4), Outcome(-4, "permission denied: caller " + shown + " is not the zorva daemon\n"));
    }
    ctx.callerExecutable = &daemonPath;
    EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(2, ""));
}

TEST_F(StatusOps, EntryChecksRunInOrderIdThenUtf8ThenArgumentsThenAddon) {
    const std::string before = document();
    const zorva_scene_addon_info badKind{"x", 3};
    const zorva_scene_addon_info negativeKind{"x", -1};
    // null id wins over a bad status and a null add-on
    EXPECT_EQ(setStatus(nullptr, 1, nullptr), Outcome(-1, "container id is null\n"));
    EXPECT_EQ(setStatus("", 2, &addon), Outcome(-1, "container id is empty\n"));
    // invalid UTF-8 wins over a bad status; it is a decoding error (code 1) in set operations
    const char *badUtf8 = "abc\xff";
    EXPECT_EQ(setStatus(badUtf8, 1, nullptr), Outcome(1, "container id is not valid UTF-8: invalid utf-8 sequence\n"));
    EXPECT_EQ(setModule(badUtf8, 9, 9, nullptr).first, 1);
    // ...also in get status, where 1 is no status; get module status gives -1, as 1 is a module status
    EXPECT_EQ(getStatus(badUtf8, nullptr), Outcome(1, "container id is not valid UTF-8: invalid utf-8 sequence\n"));
    EXPECT_EQ(getModule("\xc0\x80", 0, &addon).first, -1);
    // argument checks before the add-on kind
    EXPECT_EQ(setStatus(kId.c_str(), 1, nullptr), Outcome(-1, "invalid container status 1\n"));
    EXPECT_EQ(getModule(kId.c_str(), 3, nullptr), Outcome(-1, "invalid module 3\n"));
    EXPECT_EQ(setModule(kId.c_str(), 3, 0, nullptr),
              Outcome(-1, "Input module: 3, status: 0\ninvalid module 3 or status 0\n"));
    // the add-on kind last
    EXPECT_EQ(setStatus(kId.c_str(), 2, nullptr), Outcome(-14, "invalid addon kind: addon info is null\n"));
    EXPECT_EQ(setStatus(kId.c_str(), 2, &badKind), Outcome(-14, "invalid addon kind: 3\n"));
    EXPECT_EQ(setStatus(kId.c_str(), 2, &negativeKind).first, -14);
    EXPECT_EQ(getStatus(kId.c_str(), nullptr).first, -14);
    EXPECT_EQ(getModule(kId.c_str(), 0, &badKind).first, -14);
    EXPECT_EQ(setModule(kId.c_str(), 0, 0, nullptr),
              Outcome(-14, "Input module: 0, status: 0\ninvalid addon kind: addon info is null\n"));
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
    EXPECT_EQ(fake.opened, 0);
    for (int32_t kind : {0, 1, 2}) {
        zorva_scene_addon_info ok{"x", kind};
        EXPECT_EQ(setStatus(kId.c_str(), 2, &ok).first, 0) << kind;
    }
}

TEST_F(StatusOps, SetStatusRefusesValuesOtherThan024WithoutTouchingFiles) {
    const std::string before = document();
    for (int32_t status : {1, 3, 5, -1, 2147483647})
        EXPECT_EQ(setStatus(kId, status), Outcome(-1, "invalid container status " + std::to_string(status) + "\n"));
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
    EXPECT_EQ(fake.opened, 0);
}

TEST_F(StatusOps, NewContainerGetsItsControlsFromTheStatus) {
    EXPECT_EQ(setStatus(kId, 4), Outcome(0, "vault_store_add_policy ret: 0\n"));
    EXPECT_EQ(stored(kId), (Container{4, 1, 1, 1}));
    EXPECT_EQ(kernel(), record(kId, 4, 1, 1, 1));
    ASSERT_EQ(fake.records.size(), 1u);
    EXPECT_EQ(fake.records[0], record(kId, 4, 1, 1, 1));
    EXPECT_EQ(fake.initCalls, 1);
    EXPECT_EQ(fake.closed, fake.opened);

    writeFile(ctx.kernelStatusPath, "");
    EXPECT_EQ(setStatus(kOtherId, 0).first, 0);
    EXPECT_EQ(stored(kOtherId), (Container{0, 0, 0, 0}));
    EXPECT_EQ(kernel(), record(kOtherId, 0, 0, 0, 0));
    EXPECT_EQ(entries(), 2u);
}

TEST_F(StatusOps, ExistingContainerKeepsItsControlsWhenTheStatusChanges) {
    ASSERT_EQ(setStatus(kId, 2).first, 0);
    ASSERT_EQ(setModule(kId.c_str(), 1, 3, &addon),
              Outcome(0, "Input module: 1, status: 3\nvault_store_add_policy ret: 0\n"));
    ASSERT_EQ(setStatus(kId, 0).first, 0);
    EXPECT_EQ(stored(kId), (Container{0, 1, 3, 1}));
    EXPECT_EQ(entries(), 1u);
    // the kernel file is rewritten from its start each time: one record
    EXPECT_EQ(kernel(), record(kId, 0, 1, 3, 1));
    EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(0, ""));
    EXPECT_EQ(fake.records.back(), record(kId, 0, 1, 3, 1));
}

TEST_F(StatusOps, IdsOfAtMost64BytesOfAnyUtf8TextAreAccepted) {
    std::string utf8Id = "conteneur-\xc3\xa9t\xc3\xa9-\xe2\x9c\x93";
    EXPECT_EQ(setStatus(utf8Id, 2).first, 0);
    EXPECT_EQ(getStatus(utf8Id.c_str(), &addon).first, 2);
    EXPECT_EQ(kernel(), record(utf8Id, 2, 1, 1, 1));

    const std::string before = document();
    writeFile(ctx.kernelStatusPath, "");
    std::string longId(65, 'b');
    EXPECT_EQ(setStatus(longId, 2), Outcome(-1, "container id to long\n"));
    EXPECT_EQ(setModule(kId.c_str(), 0, 0, &addon).first, -3);
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
    EXPECT_EQ(getStatus(longId.c_str(), &addon).first, -1);
}

TEST_F(StatusOps, GetStatusReturnsTheStoredStatusOrMinusOne) {
    ASSERT_EQ(setStatus(kId, 4).first, 0);
    EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(4, ""));
    EXPECT_EQ(getStatus(kOtherId.c_str(), &addon),
              Outcome(-1, "get container status failed: container " + kOtherId + " not found\n"));

    // A stored status that is not 0, 2 or 4.
    std::string doc = document();
    doc.replace(doc.find("\"status\": 4"), 11, "\"status\": 1");
    writeFile(ctx.documentPath, doc);
    EXPECT_EQ(getStatus(kId.c_str(), &addon),
              Outcome(-1, "read container " + kId + " status invalid from json\nget container status failed\n"));
}

TEST_F(StatusOps, AnEntryOfAnotherKindCountsAsNotFound) {
    std::string doc = document();
    std::string entry = R"({"name": ")" + kId + R"(", "value": {"type": "path", "value": []}})";
    auto pos = doc.find("\"variables\": []", doc.find("\"type\": \"container\""));
    doc.replace(pos, 15, "\"variables\": [" + entry + "]");
    writeFile(ctx.documentPath, doc);
    const std::string before = document();
    EXPECT_EQ(setStatus(kId, 2), Outcome(-3, "container " + kId + " not found\n"));
    EXPECT_EQ(setModule(kId.c_str(), 0, 1, &addon).first, -3);
    EXPECT_EQ(getStatus(kId.c_str(), &addon).first, -1);
    EXPECT_EQ(getModule(kId.c_str(), 0, &addon).first, -1);
    EXPECT_EQ(document(), before);
}

TEST_F(StatusOps, ModuleStatusesAreSetAndReadPerControl) {
    ASSERT_EQ(setStatus(kId, 2).first, 0);
    for (uint32_t m = 0; m < 3; ++m)
        ASSERT_EQ(setModule(kId.c_str(), m, m + 1, &addon).first, 0) << m;
    EXPECT_EQ(stored(kId), (Container{2, 1, 2, 3}));
    EXPECT_EQ(kernel(), record(kId, 2, 1, 2, 3));
    for (uint32_t m = 0; m < 3; ++m)
        EXPECT_EQ(getModule(kId.c_str(), m, &addon), Outcome(static_cast<int32_t>(m + 1), "")) << m;

    const std::string before = document();
    EXPECT_EQ(setModule(kId.c_str(), 0, 4, &addon),
              Outcome(-1, "Input module: 0, status: 4\ninvalid module 0 or status 4\n"));
    EXPECT_EQ(setModule(kId.c_str(), 4294967295u, 0, &addon).first, -1);
    EXPECT_EQ(getModule(kId.c_str(), 3, &addon).first, -1);
    EXPECT_EQ(document(), before);
}

TEST_F(StatusOps, SetModuleStatusOnAnUnknownIdAddsNothing) {
    const std::string before = document();
    EXPECT_EQ(setModule(kId.c_str(), 2, 1, &addon),
              Outcome(-3, "Input module: 2, status: 1\ncontainer " + kId + " not found\n"));
    EXPECT_EQ(getModule(kId.c_str(), 2, &addon),
              Outcome(-1, "failed to get container module status: container " + kId + " not found\n"));
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
}

TEST_F(StatusOps, StoredModuleStatusOutOfRangeIsReported) {
    ASSERT_EQ(setStatus(kId, 2).first, 0);
    std::string doc = document();
    doc.replace(doc.find("\"netctl\": 1"), 11, "\"netctl\": 9");
    writeFile(ctx.documentPath, doc);
    EXPECT_EQ(getModule(kId.c_str(), 1, &addon), Outcome(-1, "read container " + kId +
                                                                 " module 1 status invalid from json\n"
                                                                 "failed to get container module status\n"));
    // A value that does not fit a record byte stops a set before anything is written.
    doc.replace(doc.find("\"netctl\": 9"), 11, "\"netctl\": 300");
    writeFile(ctx.documentPath, doc);
    writeFile(ctx.kernelStatusPath, "");
    EXPECT_EQ(setStatus(kId, 4),
              Outcome(-100, "container " + kId + " holds a status that does not fit the kernel record\n"));
    EXPECT_EQ(document(), doc);
    EXPECT_EQ(kernel(), "");
}

TEST_F(StatusOps, DocumentWithoutContainerModuleGivesMinus100) {
    std::string doc = document();
    doc.replace(doc.find("\"type\": \"container\""), 19, "\"type\": \"containers\"");
    writeFile(ctx.documentPath, doc);
    EXPECT_EQ(setStatus(kId, 2), Outcome(-100, "Container module not found in policy\n"));
    EXPECT_EQ(setModule(kId.c_str(), 0, 0, &addon).first, -100);
    EXPECT_EQ(getStatus(kId.c_str(), &addon),
              Outcome(-1, "get container status failed: Container module not found in policy\n"));
    EXPECT_EQ(document(), doc);
}

TEST_F(StatusOps, ADocumentWhoseTopModuleIsTheContainerModuleServesAlike) {
    writeFile(ctx.documentPath,
              R"({"scene": "zorva_container", "enabled": true, "addon": "", "priority": 0, "audit": false,
                  "interactive": "disabled", "third_party": false, "version": 1, "modules": [
                  {"type": "container", "enabled": true, "interactive": "disabled", "modules": [], "rules": [],
                   "variables": [], "addon": ""}]})");
    EXPECT_EQ(setStatus(kId, 2).first, 0);
    EXPECT_EQ(setModule(kId.c_str(), 2, 0, &addon).first, 0);
    EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(2, ""));
    EXPECT_EQ(getModule(kId.c_str(), 2, &addon), Outcome(0, ""));
    EXPECT_EQ(stored(kId), (Container{2, 1, 1, 0}));
    EXPECT_EQ(kernel(), record(kId, 2, 1, 1, 0));
}

TEST_F(StatusOps, TemporaryFilesOfKilledWritersAreRemovedOnTheNextChange) {
    const std::string stale = dir.file(".zorva_container.json.tmp.4242.0123456789abcdef");
    // Files of other tools and people beside the document, and an older
    // writer's name: none of them is ours to remove.
    const std::string kept[] = {
        ctx.documentPath + ".bak",    ctx.documentPath + ".backup",
        ctx.documentPath + ".220101", ctx.documentPath + ".aB3xY9",
        ctx.documentPath + ".a-3xY9", dir.file(".zorva_container.json.tmp.4242.0123456789ABCDEF")};
    writeFile(stale, "{\"scene\":");
    for (const auto &name : kept)
        writeFile(name, "keep");
    EXPECT_EQ(getStatus(kId.c_str(), &addon).first, -1);
    EXPECT_TRUE(vrex::testing::fileExists(stale)) << "reads do not hold the lock and touch nothing";
    EXPECT_EQ(setStatus(kId, 2).first, 0);
    EXPECT_FALSE(vrex::testing::fileExists(stale));
    for (const auto &name : kept)
        EXPECT_EQ(readFile(name), "keep") << name;
}

TEST_F(StatusOps, BrokenDocumentsGiveOneAndStayAsTheyWere) {
    std::string good = document();
    for (const std::string &doc :
         {std::string(), good.substr(0, 100), std::string("\x01\x02 not json"), std::string("{\"scene\": []}")}) {
        writeFile(ctx.documentPath, doc);
        auto [code, out] = setStatus(kId, 2);
        EXPECT_EQ(code, 1);
        EXPECT_EQ(out.rfind("when deserializing loaded json bytes to policy: ", 0), 0u) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_EQ(getStatus(kId.c_str(), &addon).first, -1);
        EXPECT_EQ(document(), doc);
    }
    EXPECT_EQ(kernel(), "");
    ::unlink(ctx.documentPath.c_str());
    EXPECT_EQ(setStatus(kId, 2),
              Outcome(1, "failed to read " + ctx.documentPath + ": open: No such file or directory\n"));
}

TEST_F(StatusOps, AKernelFailurePutsThePreviousDocumentBack) {
    ASSERT_EQ(setStatus(kId, 2).first, 0);
    ASSERT_EQ(::chmod(ctx.documentPath.c_str(), 0640), 0);
    const std::string before = document();
    fake = FakeStore{};
    ::unlink(ctx.kernelStatusPath.c_str());
    EXPECT_EQ(setStatus(kId, 4),
              Outcome(1, "write status policy failed: failed open container sys file: No such file or directory\n"));
    EXPECT_FALSE(vrex::testing::fileExists(ctx.kernelStatusPath)) << "the kernel file is never created";
    EXPECT_EQ(setStatus(kOtherId, 0).first, 1);
    EXPECT_EQ(setModule(kId.c_str(), 1, 3, &addon).first, 1);
    // A failed status operation changes nothing: the document is byte for
    // byte as it was, with its mode, and a get reports what is in force.
    EXPECT_EQ(document(), before);
    struct stat st {};
    ASSERT_EQ(::stat(ctx.documentPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(getStatus(kId.c_str(), &addon), Outcome(2, ""));
    EXPECT_EQ(getModule(kId.c_str(), 1, &addon), Outcome(1, ""));
    EXPECT_EQ(getStatus(kOtherId.c_str(), &addon).first, -1);
    EXPECT_EQ(fake.opened, 0) << "the store is not reached after a kernel failure";

    ctx.kernelStatusPath = "/dev/full";
    EXPECT_EQ(setStatus(kId, 4),
              Outcome(1, "write status policy failed: failed write data to container sys file: No space left on "
                         "device\n"));
    EXPECT_EQ(document(), before);
    EXPECT_TRUE(vrex::testing::directoryEntries(dir.path()) ==
                (std::vector<std::string>{"run", "zorva_container.json"}))
        << "no temporary file is left";
}

namespace {

// Runs body in a child that the alarm ends after `seconds`: a call that
// blocks fails the test instead of hanging it. Returns the exit status, or
// 128 + the signal.
int inChildWithin(unsigned seconds, const std::function<int()> &body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(seconds);
        ::freopen("/dev/null", "w", stdout);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST_F(StatusOps, AFifoAtTheDocumentPathIsRefusedWithoutWaiting) {
    ::unlink(ctx.documentPath.c_str());
    ASSERT_EQ(::mkfifo(ctx.documentPath.c_str(), 0600), 0);
    const std::string line = "failed to read " + ctx.documentPath + ": not a regular file\n";
    EXPECT_EQ(inChildWithin(10, [&] { return runSetStatus(ctx, kId.c_str(), 2, &addon) == 1 ? 0 : 1; }), 0);
    // Printed in this process: the line, and the lock released for the next caller.
    EXPECT_EQ(setStatus(kId, 2), Outcome(1, line));
    EXPECT_EQ(inChildWithin(10, [&] { return runGetStatus(ctx, kId.c_str(), &addon) == -1 ? 0 : 1; }), 0);
    EXPECT_EQ(inChildWithin(10, [&] { return runSetModuleStatus(ctx, kId.c_str(), 0, 1, &addon) == 1 ? 0 : 1; }), 0);
    EXPECT_EQ(kernel(), "");
}

TEST_F(StatusOps, SetOperationsWaitForTheKernelTableLock) {
    vrex::sys::UniqueFd held;
    ASSERT_TRUE(vrex::sys::lockPrivateFile(ctx.kernelTableLockPath, held).ok());
    pid_t pid = ::fork();
    if (pid == 0) {
        held.reset();  // the lock belongs to the parent's open file, shared by this copy
        ::freopen("/dev/null", "w", stdout);
        ::_exit(runSetStatus(ctx, kId.c_str(), 4, &addon) == 0 ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(kernel(), "") << "the kernel was written while another writer held the table";
    held.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(kernel(), record(kId, 4, 1, 1, 1));
}

TEST_F(StatusOps, APlantedKernelTableLockFailsTheSetBeforeAnythingChanges) {
    const std::string before = document();
    ASSERT_EQ(::mkdir(dir.file("run").c_str(), 0700), 0);
    writeFile(ctx.kernelTableLockPath, "");
    ASSERT_EQ(::chmod(ctx.kernelTableLockPath.c_str(), 0666), 0);
    EXPECT_EQ(setStatus(kId, 2), Outcome(1, "failed to lock the kernel policy table: " + ctx.kernelTableLockPath +
                                                " is not a regular file of this user closed to others (mode 0600)\n"));
    EXPECT_EQ(document(), before);
    EXPECT_EQ(kernel(), "");
    EXPECT_EQ(fake.opened, 0);
}

TEST(KernelRecord, AShortWriteIsAFailure) {
    TempDir dir;
    std::string path = dir.file("dockerstatus");
    writeFile(path, "");
    auto rec = makeKernelRecord("abc", 2, 1, 0, 1);
    ASSERT_TRUE(rec.ok());
    // A file size limit of 10 bytes makes the kernel accept only part of the record.
    auto child = vrex::testing::runWithFileSizeLimit(10, [&] {
        auto st = writeKernelRecord(path, rec.value());
        std::fputs(st.ok() ? "ok" : (st.error().chain() + " code " + std::to_string(st.error().code())).c_str(),
                   stdout);
        return 0;
    });
    EXPECT_EQ(child.out,
              "write status policy failed: failed write data to container sys file: wrote 10 of 69 bytes code 1");
}

TEST_F(StatusOps, StoreBridgeFailuresAndResults) {
    fake.loadFails = true;
    EXPECT_EQ(setStatus(kId, 2),
              Outcome(1, "dlopen_vault_store_add_policy failed: libvault_store.so: cannot open shared object file\n"));
    EXPECT_EQ(kernel(), record(kId, 2, 1, 1, 1)) << "document and kernel already hold the change";

    fake = FakeStore{};
    fake.symbolMissing = true;
    auto [code, out] = setStatus(kId, 4);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out.rfind("dlopen_vault_store_add_policy failed: ", 0), 0u) << out;
    EXPECT_EQ(fake.closed, 1) << "the library is unloaded after a failed lookup";

    // A refusal by the store is printed, not a failure.
    fake = FakeStore{};
    fake.addResult = -1;
    EXPECT_EQ(setStatus(kId, 0), Outcome(0, "vault_store_add_policy ret: -1\n"));
    EXPECT_EQ(fake.records.size(), 1u);

    // The table entry point, without any loading.
    fake = FakeStore{};
    fake.addResult = 7;
    VaultStoreTable table{nullptr, &fakeAdd};
    CaptureOutput cap;
    EXPECT_TRUE(addPolicyWithTable(table, makeKernelRecord("x", 2, 0, 0, 0).value()).ok());
    EXPECT_EQ(cap.out(), "vault_store_add_policy ret: 7\n");
    ASSERT_EQ(fake.records.size(), 1u);
    EXPECT_EQ(fake.records[0], record("x", 2, 0, 0, 0));
    VaultStoreTable empty{};
    EXPECT_EQ(addPolicyWithTable(empty, makeKernelRecord("x", 2, 0, 0, 0).value()).error().chain(),
              "dlopen_vault_store_add_policy failed: vault_store_add_policy is missing");
}

TEST_F(StatusOps, ConcurrentProcessesLoseNoChange) {
    constexpr int kProcesses = 6;
    constexpr int kIdsEach = 8;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Silence the children's store lines.
            freopen("/dev/null", "w", stdout);
            int failures = 0;
            for (int i = 0; i < kIdsEach; ++i) {
                std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
                failures += runSetStatus(ctx, id.c_str(), 2, &addon) != 0;
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(entries(), static_cast<size_t>(kProcesses * kIdsEach));
}

// End to end, inside the test sandbox: a driver installed as
// /usr/sbin/zorva-daemon calls the exports of the built library, which
// writes the real document path, the kernel status file and, through the
// real store library, the store file.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "full_disk.h"
#include "record_fixtures.h"
#include "scene_e2e_util.h"
#include "system_paths.h"
#include "test_util.h"

namespace fs = std::filesystem;
using namespace vrex::testing;

namespace {

const std::string &kDaemon = kDaemonPath;
const std::string &kDocDir = kSceneDocumentDirectory;
const std::string &kDoc = kSceneDocumentPath;
const std::string &kKernel = kKernelStatusPath;
const std::string &kStoreFile = kStorePath;
const std::string kId = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const auto &record = recordBytes;

class SceneE2E : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        ASSERT_FALSE(envOrEmpty("VREX_TEST_DRIVER").empty());
        ASSERT_FALSE(envOrEmpty("VREX_TEST_STORE_DIR").empty());
        scene_e2e::installDaemonAndDocument();
        fs::remove(kStoreFile);
        writeFile(kKernel, "");
    }

    ProcessResult run(std::vector<std::string> args, bool withStore = true, const std::string &program = kDaemon) {
        args.insert(args.begin(), program);
        return runProcess(args, "", scene_e2e::libraryEnv(withStore));
    }
};

}  // namespace

TEST_F(SceneE2E, TheDriverLoadsTheBuiltLibrariesAndTheInterpreterStandIn) {
    // The dynamic loader lists what it would load, and loads nothing.
    auto trace = runProcess({kDaemon}, "", {scene_e2e::libraryEnv()[0], "LD_TRACE_LOADED_OBJECTS=1"});
    ASSERT_EQ(trace.exitCode, 0) << trace.err;
    const std::string libraries = envOrEmpty("VREX_TEST_LIBRARY_PATH");
    const std::string standInDir = libraries.substr(libraries.rfind(':') + 1);
    EXPECT_NE(trace.out.find("libvrexinterpreter.so.1 => " + standInDir + "/libvrexinterpreter.so.1"),
              std::string::npos)
        << trace.out;
    EXPECT_NE(trace.out.find("libzorva_scene_container.so.0 => " + libraries.substr(0, libraries.find(':')) + "/"),
              std::string::npos)
        << trace.out;
}

TEST_F(SceneE2E, StatusChangesReachDocumentKernelAndStore) {
    auto set = run({"set", kId, "2"});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    // The store's own messages come first, then the bridge's line.
    const std::string storeLine = "Successfully added/updated policy for container " + kId + "\n";
    EXPECT_NE(set.out.find(storeLine), std::string::npos) << set.out;
    EXPECT_TRUE(set.out.ends_with(storeLine + "vault_store_add_policy ret: 0\nresult: 0\n")) << set.out;
    EXPECT_EQ(readFile(kKernel), record(kId, 2, 1, 1, 1));
    EXPECT_NE(readFile(kStoreFile).find(kId), std::string::npos);
    EXPECT_NE(readFile(kDoc).find("\"name\": \"" + kId + "\""), std::string::npos);
    EXPECT_EQ(run({"get", kId}).out, "result: 2\n");

    writeFile(kKernel, "");
    auto setModule = run({"set-module", kId, "2", "0"});
    EXPECT_EQ(setModule.out.rfind("Input module: 2, status: 0\n", 0), 0u) << setModule.out;
    EXPECT_TRUE(setModule.out.ends_with(storeLine + "vault_store_add_policy ret: 0\nresult: 0\n")) << setModule.out;
    EXPECT_EQ(readFile(kKernel), record(kId, 2, 1, 1, 0));
    EXPECT_EQ(run({"get-module", kId, "2"}).out, "result: 0\n");
    EXPECT_EQ(run({"get-module", kId, "1"}).out, "result: 1\n");

    // The store holds one record per id, updated in place.
    std::string store = readFile(kStoreFile);
    EXPECT_EQ(store.find(kId), store.rfind(kId));
}

TEST_F(SceneE2E, CallersAtOtherPathsAreRefused) {
    const std::string before = readFile(kDoc);
    for (const std::string &program : {envOrEmpty("VREX_TEST_DRIVER"), std::string("/usr/sbin/zorva-daemon2")}) {
        if (program != envOrEmpty("VREX_TEST_DRIVER"))
            fs::copy_file(kDaemon, program, fs::copy_options::overwrite_existing);
        auto r = run({"set", kId, "2"}, true, program);
        EXPECT_EQ(r.out, "permission denied: caller " + program + " is not the zorva daemon\nresult: -4\n");
        EXPECT_EQ(run({"get", kId}, true, program).out.substr(r.out.find("result")), "result: -4\n");
    }
    EXPECT_EQ(readFile(kDoc), before);
    EXPECT_EQ(readFile(kKernel), "");
}

TEST_F(SceneE2E, StoreRefusalIsPrintedAndAMissingStoreLibraryFails) {
    // The store accepts only 64 hexadecimal characters; the change stands.
    auto shortId = run({"set", "web-1", "4"});
    EXPECT_EQ(shortId.out, "vault_store_add_policy ret: -1\nresult: 0\n");
    EXPECT_EQ(readFile(kKernel), record("web-1", 4, 1, 1, 1));
    EXPECT_EQ(run({"get", "web-1"}).out, "result: 4\n");

    auto noStore = run({"set", kId, "2"}, false);
    EXPECT_EQ(noStore.out, "dlopen_vault_store_add_policy failed: libvault_store.so: cannot open shared object file: "
                           "No such file or directory\nresult: 1\n");
    EXPECT_FALSE(fileExists(kStoreFile));
}

TEST_F(SceneE2E, BadArgumentsChangeNothing) {
    const std::string before = readFile(kDoc);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::string longId(65, 'a');
    for (const Case &c : std::vector<Case>{
             {{"set", longId, "2"}, "container id to long\nresult: -1\n"},
             {{"set", "-", "2"}, "container id is null\nresult: -1\n"},
             {{"set", "", "2"}, "container id is empty\nresult: -1\n"},
             {{"set", "bad\xfe", "2"}, "container id is not valid UTF-8: invalid utf-8 sequence\nresult: 1\n"},
             {{"get", "bad\xfe"}, "container id is not valid UTF-8: invalid utf-8 sequence\nresult: 1\n"},
             {{"get-module", "bad\xfe", "0"}, "container id is not valid UTF-8: invalid utf-8 sequence\nresult: -1\n"},
             {{"set", kId, "3"}, "invalid container status 3\nresult: -1\n"},
             {{"set-module", kId, "3", "1"}, "Input module: 3, status: 1\ninvalid module 3 or status 1\nresult: -1\n"},
             {{"set-module", kId, "0", "4"}, "Input module: 0, status: 4\ninvalid module 0 or status 4\nresult: -1\n"},
             {{"get-module", kId, "7"}, "invalid module 7\nresult: -1\n"},
             {{"--null-addon", "set", kId, "2"}, "invalid addon kind: addon info is null\nresult: -14\n"},
             {{"--kind", "3", "get", kId}, "invalid addon kind: 3\nresult: -14\n"},
             {{"set-module", kId, "0", "1"},
              "Input module: 0, status: 1\ncontainer " + kId + " not found\nresult: -3\n"},
         }) {
        auto r = run(c.args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
    }
    EXPECT_EQ(readFile(kDoc), before);
    EXPECT_EQ(readFile(kKernel), "");
    EXPECT_FALSE(fileExists(kStoreFile));
}

TEST_F(SceneE2E, BadDocumentsGiveTheirCodeAndStayUnchanged) {
    std::string good = readFile(kDoc);
    std::string deepArray = "{\"scene\": ";
    for (int i = 0; i < 100; ++i)
        deepArray += "[";
    std::string big(50u * 1024 * 1024, ' ');
    big.replace(0, good.size(), good);
    std::string wrongTypes = good;
    wrongTypes.replace(wrongTypes.find("\"priority\": 0"), 13, "\"priority\": \"high\"");
    for (const std::string &doc :
         {std::string(), good.substr(0, good.size() / 3), std::string("<xml/>"), wrongTypes, deepArray, big}) {
        writeFile(kDoc, doc);
        auto set = run({"set", kId, "2"});
        EXPECT_EQ(std::count(set.out.begin(), set.out.end(), '\n'), 2) << set.out;
        EXPECT_TRUE(set.out.ends_with("\nresult: 1\n")) << set.out;
        EXPECT_TRUE(run({"get", kId}).out.ends_with("result: -1\n"));
        EXPECT_TRUE(run({"set-module", kId, "0", "0"}).out.ends_with("result: 1\n"));
        EXPECT_TRUE(readFile(kDoc) == doc) << "document changed (size " << doc.size() << ")";
    }
    EXPECT_EQ(readFile(kKernel), "");
}

TEST_F(SceneE2E, ModuleTree100LevelsDeepStillWorks) {
    std::string doc = readFile(kDoc);
    std::string inner = R"({"type":"leaf","enabled":true,"interactive":"disabled","modules":[],"rules":[],)"
                        R"("variables":[],"addon":""})";
    for (int i = 0; i < 96; ++i)
        inner = R"({"type":"m","enabled":true,"interactive":"disabled","rules":[],"variables":[],"addon":"",)"
                R"("modules":[)" +
                inner + "]}";
    // Hang the chain below the netctl module: with root, container and netctl, 100 levels.
    auto netctl = doc.find("\"type\": \"netctl\"");
    auto modules = doc.find("\"modules\": []", netctl);
    doc.replace(modules, 13, "\"modules\": [" + inner + "]");
    writeFile(kDoc, doc);
    EXPECT_TRUE(run({"set", kId, "4"}).out.ends_with("result: 0\n"));
    EXPECT_EQ(run({"get", kId}).out, "result: 4\n");
    EXPECT_NE(readFile(kDoc).find("\"type\": \"leaf\""), std::string::npos);
}

TEST_F(SceneE2E, FullDiskKeepsTheOldDocument) {
    const std::string before = readFile(kDoc);
    std::vector<std::string> names;
    std::string doc;
    ProcessResult r;
    {
        SmallTmpfs full(kDocDir, "64k");
        ASSERT_TRUE(full.ok()) << full.error();
        writeFile(kDoc, before);
        fillFileSystem(kDocDir + "/filler");  // to the last byte
        r = run({"set", kId, "2"});
        names = directoryEntries(kDocDir);
        doc = readFile(kDoc);
    }
    EXPECT_EQ(r.out, "failed to save " + kDoc + ": write: No space left on device\nresult: 1\n");
    EXPECT_EQ(doc, before);
    EXPECT_EQ(names, (std::vector<std::string>{"filler", "zorva_container.json"}));
    EXPECT_EQ(readFile(kKernel), "");
}

TEST_F(SceneE2E, MissingKernelFileIsNeverCreated) {
    fs::remove(kKernel);
    auto r = run({"set", kId, "2"});
    EXPECT_EQ(r.out, "write status policy failed: failed open container sys file: No such file or directory\n"
                     "result: 1\n");
    EXPECT_FALSE(fileExists(kKernel));
    writeFile(kKernel, "");
}

TEST_F(SceneE2E, AFailedKernelWriteLeavesTheDocumentAsItWas) {
    ASSERT_TRUE(run({"set", kId, "2"}).out.ends_with("result: 0\n"));
    const std::string before = readFile(kDoc);
    fs::remove(kKernel);
    auto r = run({"set", kId, "4"});
    EXPECT_EQ(r.out, "write status policy failed: failed open container sys file: No such file or directory\n"
                     "result: 1\n");
    EXPECT_EQ(readFile(kDoc), before);
    writeFile(kKernel, "");
    EXPECT_EQ(run({"get", kId}).out, "result: 2\n");
}

TEST_F(SceneE2E, AFifoAtTheDocumentPathIsRefusedAndHoldsNoLaterCallerUp) {
    fs::remove(kDoc);
    ASSERT_EQ(::mkfifo(kDoc.c_str(), 0600), 0);
    const std::string refused = "failed to read " + kDoc + ": not a regular file\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    // Each call in turn: one left waiting would hold the document lock.
    for (const Case &c :
         std::vector<Case>{{{"set", kId, "2"}, refused + "result: 1\n"},
                           {{"set-module", kId, "0", "1"}, "Input module: 0, status: 1\n" + refused + "result: 1\n"},
                           {{"get", kId}, "get container status failed: " + refused + "result: -1\n"},
                           {{"set", kId, "4"}, refused + "result: 1\n"}}) {
        std::vector<std::string> argv = {"timeout", "20", kDaemon};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = runProcess(argv, "", scene_e2e::libraryEnv());
        EXPECT_EQ(r.exitCode, 0) << c.args[0] << " did not return (124: timed out)";
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(readFile(kKernel), "");
    fs::remove(kDoc);  // the next set-up writes the document
}

TEST_F(SceneE2E, TheDaemonKeepsItsRightsAfterAnUpgradeReplacedItsFile) {
    auto set = run({"--upgraded", "set", kId, "2"});
    EXPECT_TRUE(set.out.ends_with("vault_store_add_policy ret: 0\nresult: 0\n")) << set.out << set.err;
    EXPECT_EQ(readFile(kKernel), record(kId, 2, 1, 1, 1));
    EXPECT_EQ(run({"--upgraded", "get", kId}).out, "result: 2\n");
    EXPECT_EQ(run({"--upgraded", "get-module", kId, "1"}).out, "result: 1\n");
}

TEST_F(SceneE2E, AStoreItCannotFullyReadIsNotRewrittenAndTheKernelWriteStands) {
    const std::string other(64, 'b');
    const std::string oneLine = kStoreHead.substr(0, kStoreHead.size() - 1) + "<policy id=\"" + other +
                                "\" global=\"2\" exec=\"1\" net=\"1\" file=\"1\"/>" + kStoreTail;
    writeFile(kStoreFile, oneLine);
    auto r = run({"set", kId, "4"});
    EXPECT_TRUE(r.out.ends_with("vault_store_add_policy ret: -1\nresult: 0\n")) << r.out;
    EXPECT_EQ(r.err, "Not saving " + kStoreFile +
                         ": 1 policy element in it could not be read; the file must hold one policy per line\n");
    EXPECT_EQ(readFile(kStoreFile), oneLine);
    EXPECT_EQ(readFile(kKernel), record(kId, 4, 1, 1, 1));
    EXPECT_EQ(run({"get", kId}).out, "result: 4\n");
}

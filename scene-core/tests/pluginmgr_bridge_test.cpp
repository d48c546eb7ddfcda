// The plugin manager bridge: which directory "/etc/.productinfo" selects, the
// refusal of directories and files an unprivileged user could replace, and
// the load, lookup and call of the merge function.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "common/pluginmgr_bridge.h"
#include "test_util.h"

using namespace zorva::scene;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

std::string selected(const std::string &info) {
    auto dir = selectedPluginManagerDirectory(info);
    if (!dir)
        return "refused: " + dir.error().chain();
    return dir.value() ? *dir.value() : "none";
}

// Directory checks need files owned by root and by someone else.
#define REQUIRE_ROOT()                                                                                                 \
    do {                                                                                                               \
        if (::geteuid() != 0)                                                                                          \
            GTEST_SKIP() << "needs root to own and give away files";                                                   \
    } while (0)

std::string makeDir(const TempDir &base, const std::string &name, mode_t mode, uid_t owner = 0) {
    std::string path = base.file(name);
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
}

}  // namespace

TEST(ProductInfo, SelectsADirectoryOnlyWithItsOwnLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "none"},
        {"NAME=Some OS\nVERSION=1\n", "none"},
        {"SCENE_PLUGINMGR_LIBDIR=/opt/pm/lib", "/opt/pm/lib"},
        {"NAME=x\nSCENE_PLUGINMGR_LIBDIR=/opt/pm\r\nOTHER=y\n", "/opt/pm"},
        {"  SCENE_PLUGINMGR_LIBDIR = \"/opt/p m\" \n", "/opt/p m"},
        {"SCENE_PLUGINMGR_LIBDIR='/opt/pm'\n", "/opt/pm"},
        {"SCENE_PLUGINMGR_LIBDIR=/a\nSCENE_PLUGINMGR_LIBDIR=/a\n", "/a"},
        {"# SCENE_PLUGINMGR_LIBDIR=/commented\n", "none"},
        {"SCENE_PLUGINMGR_LIBDIR_OLD=/x\nscene_pluginmgr_libdir=/y\nXSCENE_PLUGINMGR_LIBDIR=/z\n", "none"},
        {"SCENE_PLUGINMGR_LIBDIR=lib\n", "refused: plugin manager directory \"lib\" refused: not absolute"},
        {"SCENE_PLUGINMGR_LIBDIR=\n", "refused: SCENE_PLUGINMGR_LIBDIR is empty"},
        {"SCENE_PLUGINMGR_LIBDIR=\"\"\n", "refused: SCENE_PLUGINMGR_LIBDIR is empty"},
        {"SCENE_PLUGINMGR_LIBDIR=\"/opt\n", "refused: SCENE_PLUGINMGR_LIBDIR has unbalanced quotes"},
        {"SCENE_PLUGINMGR_LIBDIR=\"/a\"b\"\n", "refused: SCENE_PLUGINMGR_LIBDIR has unbalanced quotes"},
        {std::string("SCENE_PLUGINMGR_LIBDIR=/a\0b\n", 27), "refused: SCENE_PLUGINMGR_LIBDIR holds a NUL byte"},
        {"SCENE_PLUGINMGR_LIBDIR=/a\nSCENE_PLUGINMGR_LIBDIR=/b\n",
         "refused: SCENE_PLUGINMGR_LIBDIR is set twice, to different directories"},
        {"SCENE_PLUGINMGR_LIBDIR=./x\n\x01\n", "refused: plugin manager directory \"./x\" refused: not absolute"},
    };
    for (const auto &[info, want] : cases)
        EXPECT_EQ(selected(info), want) << info;
}

TEST(TrustedDirectory, OnlyRootMayBeAbleToReplaceTheDirectoryOrAnythingAboveIt) {
    REQUIRE_ROOT();
    TempDir base;
    ASSERT_EQ(::chmod(base.path().c_str(), 0755), 0);
    if (!checkTrustedDirectory(base.path()).ok())
        GTEST_SKIP() << "the temporary directory lies below one that others may change";
    const std::string good = makeDir(base, "good", 0755);
    const std::string sticky = makeDir(base, "sticky", 01777);
    const std::string belowSticky = sticky + "/lib";
    ASSERT_EQ(::mkdir(belowSticky.c_str(), 0755), 0);
    for (const std::string &dir : {good, good + "/.", base.file("sticky/../good")}) {
        auto checked = checkTrustedDirectory(dir);
        ASSERT_TRUE(checked.ok()) << checked.error().chain();
        EXPECT_EQ(checked.value(), good);  // links and dots resolved
    }
    EXPECT_TRUE(checkTrustedDirectory(belowSticky).ok());

    const std::string userDir = makeDir(base, "user", 0755, 65534);
    const std::string open = makeDir(base, "open", 0777);
    ASSERT_EQ(::mkdir((userDir + "/lib").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((open + "/lib").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(open.c_str(), base.file("link").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {makeDir(base, "group", 0775), "writable by group or others"},
        {makeDir(base, "others", 0757), "writable by group or others"},
        {sticky, "writable by group or others"},  // the sticky bit is enough only above it
        {userDir, "owned by uid 65534, not by root"},
        {userDir + "/lib", userDir + " is owned by uid 65534, not by root"},
        {open + "/lib", open + " is writable by group or others"},
        {base.file("link"), "writable by group or others"},  // links are followed
        {base.file("missing"), "No such file or directory"},
        {"relative/lib", "not absolute"},
    };
    for (const auto &[dir, why] : refused) {
        auto checked = checkTrustedDirectory(dir);
        ASSERT_FALSE(checked.ok()) << dir;
        EXPECT_EQ(checked.error().chain().rfind("plugin manager directory \"" + dir + "\" refused: ", 0), 0u)
            << checked.error().chain();
        EXPECT_NE(checked.error().chain().find(why), std::string::npos) << checked.error().chain();
        EXPECT_EQ(checked.error().code(), -100);
    }

    // The library file itself, and wherever a link leads.
    const std::string lib = good + "/" + kPluginManagerLibrary;
    writeFile(lib, "");
    ASSERT_EQ(::chmod(lib.c_str(), 0644), 0);
    EXPECT_TRUE(checkTrustedLibrary(lib).ok());
    ASSERT_EQ(::chmod(lib.c_str(), 0664), 0);
    EXPECT_NE(checkTrustedLibrary(lib).error().chain().find("refused: writable by group or others"), std::string::npos);
    ASSERT_EQ(::chmod(lib.c_str(), 0644), 0);
    ASSERT_EQ(::chown(lib.c_str(), 65534, 0), 0);
    EXPECT_NE(checkTrustedLibrary(lib).error().chain().find("owned by uid 65534"), std::string::npos);
    writeFile(open + "/lib/real.so", "");
    ASSERT_EQ(::unlink(lib.c_str()), 0);
    ASSERT_EQ(::symlink((open + "/lib/real.so").c_str(), lib.c_str()), 0);
    EXPECT_NE(checkTrustedLibrary(lib).error().chain().find(open + " is writable"), std::string::npos);
}

TEST(PluginManagerLibrary, TheDefaultDirectoryUnlessProductInfoSelectsATrustedOne) {
    TempDir dir;
    PluginManagerLoader loader = systemPluginManagerLoader();
    loader.productInfoPath = dir.file("productinfo");
    loader.defaultDirectory = "/usr/lib/somewhere";
    EXPECT_EQ(pluginManagerLibraryPath(loader).value(), "/usr/lib/somewhere/libzorva_scene_pluginmgr.so.0");
    writeFile(loader.productInfoPath, "NAME=x\n");
    EXPECT_EQ(pluginManagerLibraryPath(loader).value(), "/usr/lib/somewhere/libzorva_scene_pluginmgr.so.0");

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"SCENE_PLUGINMGR_LIBDIR=lib\n", "dlopen_zorva2_scene_plugin_merge_policy failed: plugin manager directory "
                                         "\"lib\" refused: not absolute"},
        {std::string(kMaxProductInfoBytes + 1, '#'), "dlopen_zorva2_scene_plugin_merge_policy failed: failed to read " +
                                                         loader.productInfoPath + ": larger than 65536 bytes"},
    };
    for (const auto &[info, line] : refused) {
        writeFile(loader.productInfoPath, info);
        auto path = pluginManagerLibraryPath(loader);
        ASSERT_FALSE(path.ok());
        EXPECT_EQ(path.error().chain(), line);
        EXPECT_EQ(path.error().code(), -100);
    }
    ASSERT_EQ(::unlink(loader.productInfoPath.c_str()), 0);
    ASSERT_EQ(::mkfifo(loader.productInfoPath.c_str(), 0600), 0);  // refused at once, not waited on
    EXPECT_EQ(pluginManagerLibraryPath(loader).error().chain(),
              "dlopen_zorva2_scene_plugin_merge_policy failed: failed to read " + loader.productInfoPath +
                  ": not a regular file");

    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a trusted directory";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    if (!checkTrustedDirectory(dir.path()).ok())
        GTEST_SKIP() << "the temporary directory lies below one that others may change";
    const std::string chosen = makeDir(dir, "chosen", 0755);
    writeFile(chosen + "/libzorva_scene_pluginmgr.so.0.1", "");
    ASSERT_EQ(::symlink("libzorva_scene_pluginmgr.so.0.1", (chosen + "/libzorva_scene_pluginmgr.so.0").c_str()), 0);
    ASSERT_EQ(::unlink(loader.productInfoPath.c_str()), 0);
    writeFile(loader.productInfoPath, "SCENE_PLUGINMGR_LIBDIR=" + dir.file("chosen/../chosen") + "\n");
    EXPECT_EQ(pluginManagerLibraryPath(loader).value(), chosen + "/libzorva_scene_pluginmgr.so.0.1");
}

TEST(PluginManagerMerge, LoadsTheStandInAndReportsEachFailure) {
    TempDir dir;
    const std::string log = dir.file("merge.log");
    ASSERT_EQ(setenv("VREX_TEST_PLUGINMGR_LOG", log.c_str(), 1), 0);
    PluginManagerLoader loader = systemPluginManagerLoader();
    loader.productInfoPath = dir.file("productinfo");
    loader.defaultDirectory = VREX_TEST_PLUGINMGR_DIR;
    writeFile(dir.file("zorva_container.policy"), "12345");
    EXPECT_TRUE(mergeThroughPluginManager(loader, "zorva_container", dir.file("zorva_container.policy")).ok());
    EXPECT_EQ(readFile(log),
              "zorva2_scene_plugin_merge_policy zorva_container " + dir.file("zorva_container.policy") + " 5\n");

    ASSERT_EQ(setenv("VREX_TEST_PLUGINMGR_FAIL", "-2", 1), 0);
    Status failed = mergeThroughPluginManager(loader, "zorva_container", dir.file("zorva_container.policy"));
    unsetenv("VREX_TEST_PLUGINMGR_FAIL");
    unsetenv("VREX_TEST_PLUGINMGR_LOG");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().chain(), "zorva2_scene_plugin_merge_policy failed, ret=-2");
    EXPECT_EQ(failed.error().code(), -100);

    loader.defaultDirectory = dir.path();
    failed = mergeThroughPluginManager(loader, "zorva_container", "/p");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().chain(), "dlopen_zorva2_scene_plugin_merge_policy failed: " + dir.path() +
                                          "/libzorva_scene_pluginmgr.so.0: cannot open shared object file: No such "
                                          "file or directory");
    EXPECT_EQ(failed.error().code(), -100);

    // A library without the function.
    loader.defaultDirectory = VREX_TEST_PLUGINMGR_DIR;
    loader.symbol = [](void *, const char *) -> void * { return nullptr; };
    failed = mergeThroughPluginManager(loader, "zorva_container", "/p");
    EXPECT_EQ(failed.error().chain(),
              "dlopen_zorva2_scene_plugin_merge_policy failed: zorva2_scene_plugin_merge_policy not found");
    EXPECT_EQ(mergeWithTable(PluginManagerTable{nullptr}, "s", "/p").error().code(), -100);
}

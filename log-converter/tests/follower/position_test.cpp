// Saved position: the text format is strict, and saving replaces the file
// whole or not at all.
#include "position.h"
#include "test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vrex {
namespace {

TEST(Position, RoundTripsThroughTextIncludingExtremes) {
    for (FilePosition p : {FilePosition{0, 0, 0}, FilePosition{2049, 131075, 987654321},
                           FilePosition{UINT64_MAX, UINT64_MAX, UINT64_MAX}}) {
        auto parsed = parsePosition(formatPosition(p));
        ASSERT_TRUE(parsed.has_value()) << formatPosition(p);
        EXPECT_EQ(*parsed, p);
    }
}

TEST(Position, MalformedTextIsRejected) {
    for (const char *bad : {"", "1 2 3", "1 2 3\n\n", "1 2\n", "1 2 3 4\n", "-1 2 3\n", "1  2 3\n", " 1 2 3\n",
                            "1 2 x\n", "1 2 3x\n", "18446744073709551616 1 1\n", "+1 2 3\n", "1\t2\t3\n"}) {
        EXPECT_FALSE(parsePosition(bad).has_value()) << '"' << bad << '"';
    }
    EXPECT_FALSE(parsePosition(std::string(100, '1') + " 1 1\n").has_value());
}

TEST(Position, SaveThenLoadAndMissingFileIsNotAnError) {
    testing::TempDir dir;
    std::string path = dir.file("position");
    std::string error;
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_EQ(error, "");

    ASSERT_TRUE(savePosition(path, {1, 2, 3}, &error)) << error;
    ASSERT_TRUE(savePosition(path, {4, 5, 6}, &error)) << error;
    auto loaded = loadPosition(path, &error);
    ASSERT_TRUE(loaded.has_value()) << error;
    EXPECT_EQ(*loaded, (FilePosition{4, 5, 6}));
    EXPECT_EQ(testing::readFile(path), "4 5 6\n");

    // Only the position file is left: no temporary files behind.
    int entries = 0;
    DIR *d = opendir(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    while (dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            ++entries;
    closedir(d);
    EXPECT_EQ(entries, 1);
}

TEST(Position, CorruptFileIsReportedNotTrusted) {
    testing::TempDir dir;
    std::string path = dir.file("position");
    testing::writeFile(path, "12 34 garbage\n");
    std::string error;
    EXPECT_FALSE(loadPosition(path, &error).has_value());
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
    testing::writeFile(path, std::string(1000, '7'));
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
    EXPECT_FALSE(savePosition(dir.file("missing/position"), {1, 2, 3}, &error));
    EXPECT_NE(error.find("missing/position"), std::string::npos) << error;

    // A directory standing at the path: the rename fails, the temp file goes.
    std::string path = dir.file("occupied");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((path + "/x").c_str(), 0755), 0);
    EXPECT_FALSE(savePosition(path, {1, 2, 3}, &error));
    EXPECT_NE(error.find("rename"), std::string::npos) << error;
    int entries = 0;
    DIR *d = opendir(dir.path().c_str());
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++entries;
    closedir(d);
    EXPECT_EQ(entries, 1) << "temporary file left behind";
}

TEST(Position, SavedFileIsFoundBesideThePathByDeviceAndInodeOnly) {
    testing::TempDir dir, elsewhere;
    testing::writeFile(dir.file("audit.log.1"), "rotated\n");
    testing::writeFile(dir.file("audit.log"), "new\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("audit.log.1").c_str(), &st), 0);
    const FilePosition rotated{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), 5};
    std::string error;
    auto found = findSavedFile(dir.file("audit.log"), rotated, &error);
    EXPECT_EQ(found, std::optional<std::string>(dir.file("audit.log.1"))) << error;

    // Another device with the same inode number is another file.
    FilePosition otherDevice = rotated;
    otherDevice.device += 1;
    EXPECT_EQ(findSavedFile(dir.file("audit.log"), otherDevice, &error), std::nullopt);
    EXPECT_EQ(error, "");

    // A symbolic link beside the path is not followed to the file.
    testing::writeFile(elsewhere.file("target"), "x\n");
    ASSERT_EQ(::stat(elsewhere.file("target").c_str(), &st), 0);
    ASSERT_EQ(::symlink(elsewhere.file("target").c_str(), dir.file("audit.log.2").c_str()), 0);
    const FilePosition linked{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), 0};
    EXPECT_EQ(findSavedFile(dir.file("audit.log"), linked, &error), std::nullopt);
    EXPECT_EQ(error, "");

    EXPECT_EQ(findSavedFile(dir.file("missing/audit.log"), rotated, &error), std::nullopt);
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

}  // namespace
}  // namespace vrex

// The configuration file: keys, defaults, and bad lines that must be named
// and skipped.
#include "config.h"
#include "test_util.h"

#include <sys/stat.h>

namespace vrex::testing {
namespace {

TEST(ConfigTest, DefaultsWhenEmptyOrMissing) {
    std::vector<std::string> warnings;
    Config c = parseConfig("", &warnings);
    EXPECT_EQ(c.inputLog, "/var/log/vrex_audit.log");
    EXPECT_EQ(c.outputLog, "/var/log/zorva_container.log");
    EXPECT_FALSE(c.debug);
    EXPECT_EQ(c.positionFile, "");
    TempDir dir;
    c = loadConfig(dir.file("absent.conf"), &warnings);
    EXPECT_EQ(c.outputLog, "/var/log/zorva_container.log");
    EXPECT_TRUE(warnings.empty());
}

TEST(ConfigTest, KeysCommentsAndBlanks) {
    std::vector<std::string> warnings;
    Config c = parseConfig("# converter\n"
                           "\n"
                           "  input_log =  /var/log/in put.log  \r\n"
                           "output_log=/tmp/out.log\n"
                           "\tdebug = true\n"
                           "position_file = /var/lib/vrex/pos # kept as written\n"
                           "   # indented comment\n",
                           &warnings);
    EXPECT_EQ(c.inputLog, "/var/log/in put.log");
    EXPECT_EQ(c.outputLog, "/tmp/out.log");
    EXPECT_TRUE(c.debug);
    EXPECT_EQ(c.positionFile, "/var/lib/vrex/pos # kept as written");
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_FALSE(parseConfig("debug = true\ndebug = false", nullptr).debug);  // the last line wins
}

TEST(ConfigTest, BadLinesAreNamedAndSkipped) {
    std::vector<std::string> warnings;
    Config c = parseConfig("output_log = /ok.log\n"
                           "colour = blue\n"
                           "just words\n"
                           "= value\n"
                           "debug = yes\n"
                           "input_log =\n",
                           &warnings);
    EXPECT_EQ(c.outputLog, "/ok.log");
    EXPECT_EQ(c.inputLog, "/var/log/vrex_audit.log");
    EXPECT_FALSE(c.debug);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0], "line 2: ignored, unknown key: \"colour = blue\"");
    EXPECT_EQ(warnings[1], "line 3: ignored, not a \"key = value\" line: \"just words\"");
    EXPECT_EQ(warnings[2], "line 4: ignored, no key before \"=\": \"= value\"");
    EXPECT_EQ(warnings[3], "line 5: ignored, debug takes \"true\" or \"false\": \"debug = yes\"");
    EXPECT_EQ(warnings[4], "line 6: ignored, empty path: \"input_log =\"");
    // Binary junk is a malformed line, not a crash.
    warnings.clear();
    parseConfig(std::string("\0\xff=\x01\n", 5), &warnings);
    EXPECT_EQ(warnings.size(), 1u);
}

TEST(ConfigTest, UnreadableFileGivesDefaultsAndAWarning) {
    TempDir dir;
    std::vector<std::string> warnings;
    Config c = loadConfig(dir.path(), &warnings);
    EXPECT_EQ(c.outputLog, "/var/log/zorva_container.log");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "cannot read configuration " + dir.path() + ": is a directory; using the defaults");

    // A FIFO with no writer reads as empty instead of holding the start up.
    ASSERT_EQ(mkfifo(dir.file("fifo.conf").c_str(), 0600), 0);
    warnings.clear();
    c = loadConfig(dir.file("fifo.conf"), &warnings);
    EXPECT_FALSE(c.debug);
    EXPECT_TRUE(warnings.empty());

    // At most 1 MiB is read: a larger file is refused whole.
    std::string big = "debug = true\n" + std::string((1 << 20) - 13 - 1, '#') + "\n";
    writeFile(dir.file("big.conf"), big);
    warnings.clear();
    EXPECT_TRUE(loadConfig(dir.file("big.conf"), &warnings).debug);
    EXPECT_TRUE(warnings.empty());
    writeFile(dir.file("big.conf"), big + "\n");
    EXPECT_FALSE(loadConfig(dir.file("big.conf"), &warnings).debug);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "cannot read configuration " + dir.file("big.conf") + ": larger than 1 MiB; using the defaults");

    writeFile(dir.file("c.conf"), "debug = true\nbogus\n");
    warnings.clear();
    c = loadConfig(dir.file("c.conf"), &warnings);
    EXPECT_TRUE(c.debug);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], dir.file("c.conf") + ": line 2: ignored, not a \"key = value\" line: \"bogus\"");
}

}  // namespace
}  // namespace vrex::testing

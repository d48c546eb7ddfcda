// The shipped files agree with the daemon: the default configuration parses
// cleanly and enables the saved position in the directory the unit creates,
// and the unit runs the daemon the way it expects to be run.
#include "config.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace vrex {
namespace {

const std::string kPackaging = VREX_PACKAGING_DIR;

TEST(Packaging, ShippedConfigurationParsesCleanlyWithTheSavedPositionOn) {
    std::vector<std::string> warnings;
    Config config = parseConfig(testing::readFile(kPackaging + "/vrex-log-converter.conf"), &warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(config.inputLog, "/var/log/vrex_audit.log");
    EXPECT_EQ(config.outputLog, "/var/log/zorva_container.log");
    EXPECT_FALSE(config.debug);
    EXPECT_EQ(config.positionFile, "/var/lib/vrex-log-converter/position");
}

TEST(Packaging, UnitMatchesTheDaemonsNeeds) {
    std::string unit = testing::readFile(kPackaging + "/vrex-log-converter.service.in");
    for (const char *line :
         {"Type=simple\n", "Restart=on-failure\n", "NoNewPrivileges=yes\n", "StateDirectory=vrex-log-converter\n",
          "ReadWritePaths=/var/log\n", "ProtectSystem=strict\n", "ExecStart=@VREX_LOG_CONVERTER_PATH@\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << "missing " << line;
    // The daemon stays in the foreground: nothing may ask it to fork.
    EXPECT_EQ(unit.find("Type=forking"), std::string::npos);
}

TEST(Packaging, LogrotateCoversBothLogsAndSignalsTheDaemon) {
    std::string rotate = testing::readFile(kPackaging + "/vrex-log-converter.logrotate");
    EXPECT_EQ(rotate.rfind("/var/log/zorva_container.log /var/log/vrex-log-converter.log {", 0), 0u);
    EXPECT_NE(rotate.find("systemctl kill -s HUP vrex-log-converter.service"), std::string::npos);
    EXPECT_EQ(rotate.find("copytruncate"), std::string::npos) << "the daemon reopens on SIGHUP instead";
}

}  // namespace
}  // namespace vrex

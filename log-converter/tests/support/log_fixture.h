// Shared fixture: UTC time, and the diagnostic logger writing to a fresh file
// that the test can read back.
#pragma once

#include "log_converter.h"
#include "logger.h"
#include "test_util.h"

#include <cstdlib>
#include <ctime>
#include <string>

namespace vrex::testing {

class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        logPath_ = dir_.file("diag.log");
        CaptureOutput quiet;  // init reports the open on standard output
        Logger::getInstance().init(logPath_, true);
        LogConverter::setDebugMode(false);
    }
    void TearDown() override {
        LogConverter::setDebugMode(false);
        Logger::getInstance().closeFile();
    }
    std::string logText() const { return readFile(logPath_); }

    TempDir dir_;
    std::string logPath_;
};

}  // namespace vrex::testing

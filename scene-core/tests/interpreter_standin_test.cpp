// The interpreter stand-in records every call and fails on request, so that
// tests of the deployment code can see what was called and in which order.
#include <cstdlib>

#include <gtest/gtest.h>

#include "test_util.h"
#include "vrex_interpreter.h"

using vrex::testing::readFile;
using vrex::testing::TempDir;

TEST(InterpreterStandIn, RecordsEachCallInOrderAndFailsOnRequest) {
    TempDir dir;
    std::string log = dir.file("calls.log");
    ASSERT_EQ(setenv("VREX_TEST_INTERPRETER_LOG", log.c_str(), 1), 0);
    ASSERT_EQ(setenv("VREX_TEST_INTERPRETER_FAIL", "deployPolicy=-7,sendPolicy", 1), 0);
    EXPECT_EQ(compileInitPolicy(), 0);
    EXPECT_EQ(deployPolicy(), -7);
    EXPECT_EQ(compileSectionPolicy("container", "allow x"), 0);
    EXPECT_EQ(sendPolicy(), 1);
    EXPECT_EQ(modifyDynamicVariable("filectl_list", "/a", 3), 0);
    // Multi-line section texts stay on one line of the log.
    EXPECT_EQ(compileSectionPolicy("s", "line 1\nline \\2\n"), 0);
    EXPECT_EQ(readFile(log), "compileInitPolicy\ndeployPolicy\ncompileSectionPolicy container allow x\nsendPolicy\n"
                             "modifyDynamicVariable filectl_list /a 3\ncompileSectionPolicy s line 1\\nline "
                             "\\\\2\\n\n");
    // A name that merely starts like a listed one does not fail.
    ASSERT_EQ(setenv("VREX_TEST_INTERPRETER_FAIL", "compileSection,deployPolicyX=3", 1), 0);
    EXPECT_EQ(compileSectionPolicy("a", "b"), 0);
    EXPECT_EQ(deployPolicy(), 0);
    unsetenv("VREX_TEST_INTERPRETER_FAIL");
    unsetenv("VREX_TEST_INTERPRETER_LOG");
    EXPECT_EQ(compileInitPolicy(), 0);
}

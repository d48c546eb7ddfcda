// The policy argument parser: what it accepts, and that every malformed policy is
// refused with its message before anything could be written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "policy_parser.h"

namespace {

using policy_tool::parse_policy_arg;

const std::string kIdA(64, 'a');
const std::string kIdB = "0123456789ABCDEFabcdef0123456789abcdef0123456789ABCDEF0123456789";

const std::string kFormat = "Invalid policy format. Expected: id:global:exec:net:file\n";
const std::string kLength = "Container ID must be 64 characters\n";

void expectRecord(const _ContainerPolicy &p, const std::string &id, int g, int e, int n, int f) {
    EXPECT_EQ(std::string(p.container_id), id);
    EXPECT_EQ(p.container_id[64], '\0');
    EXPECT_EQ(p.global_switch, g);
    EXPECT_EQ(p.exec_control, e);
    EXPECT_EQ(p.network_control, n);
    EXPECT_EQ(p.file_protection, f);
}

void expectRefused(const std::string &spec, const std::string &message) {
    auto r = parse_policy_arg(spec);
    EXPECT_FALSE(r.ok()) << spec;
    EXPECT_EQ(r.error, message) << spec;
    EXPECT_TRUE(r.policies.empty()) << spec;
}

TEST(PolicySpec, ReadsEveryFieldIntoItsSwitch) {
    auto r = parse_policy_arg(kIdA + ":4:1:0:1");
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.policies.size(), 1u);
    expectRecord(r.policies[0], kIdA, 4, 1, 0, 1);
    static_assert(sizeof(_ContainerPolicy) == 69);
}

TEST(PolicySpec, KeepsEveryPolicyOfASpecInOrderWithCaseKept) {
    auto r = parse_policy_arg(kIdA + ":4:1:0:1;" + kIdB + ":0:0:0:0;" + kIdA + ":255:007:1:0");
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.policies.size(), 3u);
    expectRecord(r.policies[0], kIdA, 4, 1, 0, 1);
    expectRecord(r.policies[1], kIdB, 0, 0, 0, 0);
    expectRecord(r.policies[2], kIdA, 255, 7, 1, 0);
}

TEST(PolicySpec, RefusesIdentifiersOfTheWrongLength) {
    expectRefused(std::string(63, 'a') + ":4:1:0:1", kLength);
    expectRefused(std::string(65, 'a') + ":4:1:0:1", kLength);
    expectRefused(":4:1:0:1", kLength);
    expectRefused("::::", kLength);
    expectRefused("abc", kLength);
}

TEST(PolicySpec, RefusesNonHexadecimalIdentifiersNamingThem) {
    std::string id = std::string(63, 'a') + "g";
    expectRefused(id + ":4:1:0:1", "Container ID must be hexadecimal: " + id + "\n");
    std::string spaced = std::string(32, 'a') + " " + std::string(31, 'a');
    expectRefused(spaced + ":4:1:0:1", "Container ID must be hexadecimal: " + spaced + "\n");
}

TEST(PolicySpec, RefusesSwitchValuesThatAreNotWholeNumbersUpTo255) {
    for (const char *bad : {"256", "-1", "abc", "4x", "", " 4", "4 ", "+4", "99999999999999999999"}) {
        expectRefused(kIdA + ":" + bad + ":1:0:1", std::string("Invalid switch value: ") + bad + "\n");
        expectRefused(kIdA + ":4:1:0:" + bad, std::string("Invalid switch value: ") + bad + "\n");
    }
}

TEST(PolicySpec, RefusesTheWrongNumberOfFields) {
    expectRefused(kIdA + ":4:1:0", kFormat);
    expectRefused(kIdA, kFormat);
    expectRefused(kIdA + ":4:1:0:1:1", kFormat);
    expectRefused("", kFormat);
}

TEST(PolicySpec, RefusesEmptyPoliciesBetweenSeparators) {
    expectRefused(kIdA + ":4:1:0:1;", kFormat);
    expectRefused(";" + kIdA + ":4:1:0:1", kFormat);
    expectRefused(kIdA + ":4:1:0:1;;" + kIdB + ":0:0:0:0", kFormat);
    expectRefused(";", kFormat);
}

TEST(PolicySpec, OneBadPolicyRefusesTheWholeSpec) {
    expectRefused(kIdA + ":4:1:0:1;" + kIdB + ":4:1:0:9x", "Invalid switch value: 9x\n");
}

TEST(PolicySpec, ParsesTheLongestArgumentInFullAndRefusesLonger) {
    // Good policies up to 131,071 bytes, the last one's file value running to
    // the very end ("1000..."): a parser that cut the text short would read
    // a valid "1" or "100" there and accept the argument.
    const std::string one = kIdA + ":4:1:0:1;";
    const std::size_t k = (policy_tool::kMaxSpecLength - 76) / one.size();
    std::string spec;
    for (std::size_t i = 0; i < k; ++i)
        spec += one;
    const std::string head = kIdB + ":4:1:0:1";
    const std::string value = "1" + std::string(policy_tool::kMaxSpecLength - spec.size() - head.size(), '0');
    spec += head + value.substr(1);
    ASSERT_EQ(spec.size(), policy_tool::kMaxSpecLength);
    expectRefused(spec, "Invalid switch value: " + value + "\n");

    // The same length made of good policies only parses completely.
    std::string good;
    std::size_t n = 0;
    while (good.size() + one.size() <= policy_tool::kMaxSpecLength) {
        good += one;
        ++n;
    }
    good.pop_back();
    auto r = parse_policy_arg(good);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.policies.size(), n);

    std::string longer(policy_tool::kMaxSpecLength + 1, 'a');
    auto tooLong = parse_policy_arg(longer);
    EXPECT_FALSE(tooLong.ok());
    EXPECT_NE(tooLong.error.find("too long"), std::string::npos) << tooLong.error;
}

}  // namespace

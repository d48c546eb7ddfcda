// The "list" renderers: switch values named, JSON shaped for scripts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "policy_list.h"
#include "record_fixtures.h"

namespace {

_ContainerPolicy record(char fill, int g, int e, int n, int f) {
    return vrex::testing::makePolicy(std::string(64, fill), g, e, n, f);
}

TEST(PolicyList, TableNamesEverySwitchValueOnOneLinePerRecord) {
    std::vector<_ContainerPolicy> ps = {record('a', 4, 1, 0, 1), record('b', 2, 0, 1, 0), record('c', 0, 7, 0, 0)};
    std::string table = policy_tool::format_policy_table(ps.data(), 3);
    std::string id(64, 'a');
    EXPECT_EQ(table.substr(0, table.find('\n')).substr(0, 2), "ID");
    EXPECT_NE(table.find(id + "  SOFTMODE      ENABLED       DISABLED      ENABLED\n"), std::string::npos) << table;
    EXPECT_NE(table.find(std::string(64, 'b') + "  ON            DISABLED      ENABLED       DISABLED\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find(std::string(64, 'c') + "  OFF           UNKNOWN(7)    DISABLED      DISABLED\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 4);
}

TEST(PolicyList, EmptyStoreIsAHeaderOnlyTableAndAnEmptyJsonArray) {
    std::string table = policy_tool::format_policy_table(nullptr, 0);
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 1);
    EXPECT_EQ(policy_tool::format_policy_json(nullptr, 0), "[]\n");
}

TEST(PolicyList, JsonKeepsKeyOrderAndNumbers) {
    std::vector<_ContainerPolicy> ps = {record('A', 4, 1, 0, 1), record('0', 255, 0, 1, 0)};
    std::string text = policy_tool::format_policy_json(ps.data(), 2);
    auto doc = nlohmann::ordered_json::parse(text);
    ASSERT_TRUE(doc.is_array());
    ASSERT_EQ(doc.size(), 2u);
    std::vector<std::string> keys;
    for (auto it = doc[0].begin(); it != doc[0].end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "global", "exec", "net", "file"}));
    EXPECT_EQ(doc[0]["id"], std::string(64, 'A'));
    EXPECT_EQ(doc[0]["global"], 4);
    EXPECT_EQ(doc[0]["file"], 1);
    EXPECT_EQ(doc[1]["global"], 255);
    EXPECT_TRUE(doc[1]["net"].is_number_unsigned());
}

}  // namespace

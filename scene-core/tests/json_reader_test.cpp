// The JSON reader: the tree nlohmann would build, in linear time, and the
// texts it refuses.
#include <gtest/gtest.h>

#include "policy/json_reader.h"

using namespace zorva::scene;
using Json = nlohmann::ordered_json;

TEST(JsonReader, BuildsTheTreeNlohmannBuilds) {
    std::string manyKeys = "{";
    for (int i = 0; i < 300; ++i)
        manyKeys += "\"k" + std::to_string(i % 100) + "\": " + std::to_string(i) + (i == 299 ? "}" : ", ");
    for (const std::string &text : {
             std::string("\xEF\xBB\xBF {\"a\": [1, -1, 1.5, 1e2, -0, 18446744073709551615, 18446744073709551616, "
                         "-9223372036854775809, 1e-400, 4.9e-324, -2.5E+3, true, false, null, {}, []]}"),
             std::string(R"({"b": 1, "a": 2, "b": 3, "c": {"x": [], "x": {"y": null}}})"),  // last of a key wins
             std::string(R"(["\"\\\/\b\f\n\r\t", "\u0000\u00e9\u4e2d\ud83d\ude00", "é中😀", "\u007f"])"),
             std::string(" \t\r\n\"top\" \n"),
             manyKeys,
         }) {
        auto ours = readJson(text);
        ASSERT_TRUE(ours.ok()) << text << ": " << ours.error().chain();
        EXPECT_EQ(ours.value(), Json::parse(text)) << text;
        EXPECT_EQ(ours.value().dump(), Json::parse(text).dump()) << text;  // same kinds of numbers, same order
    }
}

TEST(JsonReader, RefusesWhatIsNotJson) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "syntax error at byte 0: expected a value"},
        {"{\"a\": 1", "syntax error at byte 7: expected ',' or '}'"},
        {"[1 2]", "syntax error at byte 3: expected ',' or ']'"},
        {"{\"a\" 1}", "syntax error at byte 5: expected ':'"},
        {"{1: 2}", "syntax error at byte 1: expected a string"},
        {"[01]", "syntax error at byte 2: expected ',' or ']'"},
        {"[1.]", "syntax error at byte 3: expected a digit after '.'"},
        {"[1e+]", "syntax error at byte 4: expected a digit in the exponent"},
        {"[-]", "syntax error at byte 2: expected a value"},
        {"[1e400]", "syntax error at byte 1: number out of range"},
        {"[tru]", "syntax error at byte 1: expected a value"},
        {"[\"a\nb\"]", "syntax error at byte 3: expected a control character to be escaped"},
        {"[\"\\x\"]", "syntax error at byte 3: expected an escape"},
        {"[\"\\u12G4\"]", "expected four hexadecimal digits"},
        {"[\"\\udc00\"]", "expected a high surrogate before a low one"},
        {"[\"\\ud800x\"]", "expected a low surrogate after a high one"},
        {"[\"\\ud800\\u0041\"]", "expected a low surrogate after a high one"},
        {"[\"\xff\"]", "syntax error at byte 2: expected valid UTF-8"},
        {"[\"\xed\xa0\x80\"]", "expected valid UTF-8"},
        {"[\"open", "expected '\"' to end the string"},
        {"{} {}", "syntax error at byte 3: expected end of input"},
        {"\xEF\xBB", "expected a value"},
        {"// comment\n{}", "expected a value"},
        {std::string(kMaxJsonDepth + 1, '['), "syntax error at byte 512: nesting deeper than 512 levels"},
    };
    for (const auto &[text, error] : bad) {
        auto ours = readJson(text);
        ASSERT_FALSE(ours.ok()) << text;
        EXPECT_NE(ours.error().chain().find(error), std::string::npos) << ours.error().chain();
        EXPECT_FALSE(Json::accept(text)) << text;
    }
    // nlohmann stops at a NUL byte and ignores what follows; we do not.
    const std::string trailing("{\"a\": 1}\0{\"b\": 2}", 16);
    EXPECT_TRUE(Json::accept(trailing));
    EXPECT_EQ(readJson(trailing).error().chain(), "syntax error at byte 8: expected end of input");
    std::string deepest = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(readJson(deepest).ok());
}

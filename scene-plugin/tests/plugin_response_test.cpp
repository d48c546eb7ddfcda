// The response functions: each form's exact dictionary, the null rules, the
// references they take and give, decoding, and the code-to-message table.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

#include "glib_helper.h"
#include "response_messages.h"
#include "zorva_scene_container_plugin_response.h"

using glib_helper::VariantPtr;
using zorva::plugin::messageForCode;

namespace {

std::string print(GVariant *value) {
    gchar *text = g_variant_print(value, TRUE);
    std::string out(text);
    g_free(text);
    return out;
}

// Checks what every encoder promises and takes the reference over.
VariantPtr response(GVariant *encoded) {
    EXPECT_NE(encoded, nullptr);
    if (encoded != nullptr) {
        EXPECT_FALSE(g_variant_is_floating(encoded));
        EXPECT_TRUE(g_variant_is_of_type(encoded, G_VARIANT_TYPE_VARDICT));
    }
    return VariantPtr(encoded);
}

struct FreeResponse {
    void operator()(PluginResponse *r) const { free_plugin_response(r); }
};
using ResponsePtr = std::unique_ptr<PluginResponse, FreeResponse>;

ResponsePtr decode(const char *text) {
    VariantPtr value(g_variant_ref_sink(g_variant_new_parsed(text)));
    return ResponsePtr(decode_plugin_response(value.get()));
}

TEST(EncodeResponse, EachFormHasItsTypesAndKeyOrder) {
    EXPECT_EQ(print(response(encode_plugin_response(-3, "not here")).get()), "{'code': <-3>, 'message': <'not here'>}");
    EXPECT_EQ(print(response(encode_plugin_response(0, "ok", g_variant_new_int64(7))).get()),
              "{'code': <0>, 'message': <'ok'>, 'data': <<int64 7>>}");
    EXPECT_EQ(print(response(encode_plugin_response(0, "ok", 4)).get()),
              "{'code': <0>, 'message': <'ok'>, 'data': <4>}");
    const char *strings[] = {"a", "b", "c"};
    EXPECT_EQ(print(response(encode_plugin_response(1, "ok", strings, 2)).get()),
              "{'code': <1>, 'message': <'ok'>, 'data': <['a', 'b']>}");
}

TEST(EncodeResponse, NullMessageAndNullDataAddNoEntry) {
    EXPECT_EQ(print(response(encode_plugin_response(5, nullptr)).get()), "{'code': <5>}");
    EXPECT_EQ(print(response(encode_plugin_response(0, nullptr, static_cast<GVariant *>(nullptr))).get()),
              "{'code': <0>}");
    EXPECT_EQ(print(response(encode_plugin_response(0, nullptr, 0)).get()), "{'code': <0>, 'data': <0>}");
    // The array form always carries its data: null strings are an empty list.
    EXPECT_EQ(print(response(encode_plugin_response(0, "m", nullptr, -1)).get()),
              "{'code': <0>, 'message': <'m'>, 'data': <@as []>}");
    const char *strings[] = {"x", nullptr};
    EXPECT_EQ(print(response(encode_plugin_response(0, nullptr, strings, -1)).get()), "{'code': <0>, 'data': <['x']>}");
    EXPECT_EQ(print(response(encode_plugin_response(0, nullptr, strings, -7)).get()), "{'code': <0>}");
}

TEST(EncodeResponse, MessageThatIsNotUtf8IsKeptRepaired) {
    EXPECT_EQ(print(response(encode_plugin_response(-3, "path /x\xff not found")).get()),
              "{'code': <-3>, 'message': <'path /x\xEF\xBF\xBD not found'>}");
}

TEST(EncodeResponse, ExtremeCodes) {
    EXPECT_EQ(print(response(encode_plugin_response(INT32_MIN, "")).get()), "{'code': <-2147483648>, 'message': <''>}");
    EXPECT_EQ(print(response(encode_plugin_response(INT32_MAX, nullptr, INT32_MIN)).get()),
              "{'code': <2147483647>, 'data': <-2147483648>}");
}

// The leak checker fails the run if the floating data is not consumed.
TEST(EncodeResponse, FloatingDataIsConsumed) {
    auto r = response(encode_plugin_response(0, "ok", g_variant_new_parsed("['kept']")));
    EXPECT_EQ(print(r.get()), "{'code': <0>, 'message': <'ok'>, 'data': <<['kept']>>}");
}

TEST(EncodeResponse, NonFloatingDataStaysTheCallers) {
    GVariant *data = g_variant_ref_sink(g_variant_new_string("mine"));
    response(encode_plugin_response(0, "ok", data)).reset();
    EXPECT_FALSE(g_variant_is_floating(data));
    EXPECT_STREQ(g_variant_get_string(data, nullptr), "mine");
    g_variant_unref(data);
}

TEST(EncodeResponseForCode, SuccessGetsItsMessageOnlyForCodeZero) {
    EXPECT_EQ(print(response(encode_plugin_response_for_code(0, nullptr)).get()),
              "{'code': <0>, 'message': <'success'>}");
    EXPECT_EQ(print(response(encode_plugin_response_for_code(-1, nullptr)).get()), "{'code': <-1>}");
    EXPECT_EQ(print(response(encode_plugin_response_for_code(0, "done")).get()), "{'code': <0>, 'message': <'done'>}");
    EXPECT_EQ(print(response(encode_plugin_response_for_code(-4, "no")).get()), "{'code': <-4>, 'message': <'no'>}");
}

TEST(DecodeResponse, OnlyCodeGivesNullMessageAndData) {
    auto r = decode("{'code': <-2>}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, -2);
    EXPECT_EQ(r->message, nullptr);
    EXPECT_EQ(r->data, nullptr);
}

TEST(DecodeResponse, NoDictionaryOrNoInt32CodeGivesNull) {
    EXPECT_EQ(decode_plugin_response(nullptr), nullptr);
    EXPECT_FALSE(decode("{'code': <uint32 0>, 'message': <'success'>}"));
    EXPECT_FALSE(decode("{'message': <'success'>}"));
    EXPECT_FALSE(decode("{'code': <int64 0>}"));
    EXPECT_FALSE(decode("@a{si} {'code': 0}"));
    EXPECT_FALSE(decode("[0]"));
}

TEST(DecodeResponse, ReadsWhatTheBoxedFormWrote) {
    auto encoded = response(encode_plugin_response(-3, "gone", g_variant_new_parsed("{'k': <1>}")));
    ResponsePtr r(decode_plugin_response(encoded.get()));
    encoded.reset();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, -3);
    EXPECT_STREQ(r->message, "gone");
    ASSERT_NE(r->data, nullptr);
    EXPECT_FALSE(g_variant_is_floating(r->data));
    EXPECT_EQ(print(r->data), "{'k': <1>}");
}

// "data" is read only as a boxed value: the "i" and "as" forms decode
// without data, and so does a "message" of another type without message.
TEST(DecodeResponse, DataOfAnotherFormDecodesAsNull) {
    for (const char *text : {"{'code': <0>, 'message': <'success'>, 'data': <4>}",
                             "{'code': <0>, 'message': <'success'>, 'data': <['a']>}"}) {
        auto r = decode(text);
        ASSERT_TRUE(r) << text;
        EXPECT_STREQ(r->message, "success");
        EXPECT_EQ(r->data, nullptr) << text;
    }
    auto r = decode("{'code': <0>, 'message': <5>}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->message, nullptr);
}

TEST(DecodeResponse, BorrowsTheResponse) {
    GVariant *floating = g_variant_new_parsed("{'code': <0>}");
    ResponsePtr r(decode_plugin_response(floating));
    EXPECT_TRUE(r);
    EXPECT_TRUE(g_variant_is_floating(floating));
    g_variant_unref(g_variant_ref_sink(floating));
}

TEST(FreeResponse, IgnoresNull) { free_plugin_response(nullptr); }

TEST(MessageTable, SuccessAndTheCoreLibrarysCodes) {
    EXPECT_STREQ(messageForCode(0), "success");
    std::set<std::string> distinct;
    for (int32_t code = -1; code >= -17; --code) {
        std::string message = messageForCode(code);
        EXPECT_FALSE(message.empty()) << code;
        EXPECT_NE(message, "unknow error") << code;
        EXPECT_NE(message, "success") << code;
        distinct.insert(message);
    }
    // -7, -9, -11 and -12 are not codes of the core library and share one message.
    EXPECT_EQ(distinct.size(), 14u);
    EXPECT_NE(std::string(messageForCode(-1)).find("invalid argument"), std::string::npos);
    EXPECT_NE(std::string(messageForCode(-3)).find("not found"), std::string::npos);
    EXPECT_NE(std::string(messageForCode(-4)).find("permission denied"), std::string::npos);
    EXPECT_NE(std::string(messageForCode(-14)).find("add-on kind"), std::string::npos);
    EXPECT_NE(std::string(messageForCode(-13)).find("initial policy"), std::string::npos);
    EXPECT_NE(std::string(messageForCode(-17)).find("section"), std::string::npos);
}

TEST(MessageTable, EveryOtherCodeIsUnknown) {
    for (int32_t code : {-100, -18, -99, -101, 1, 2, 4, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(messageForCode(code), "unknow error") << code;
}

}  // namespace

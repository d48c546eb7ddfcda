// The eight entry points against the core stand-in: each decoding failure
// (nothing called), each key of the wrong type, ranges, normal form, the
// add-on keys, what reaches the core library, and the response for every
// code.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_standin.h"
#include "glib_helper.h"
#include "response_messages.h"
#include "zorva_scene_container_plugin.h"

using glib_helper::VariantPtr;
using namespace zorva::plugin;
using namespace zorva::plugin::testing;

namespace {

const std::string kId(64, 'a');

enum class Arg { Id, Path, Status, Module, ModuleStatus, Mode };

struct Entry {
    const char *name;
    zorva_scene_plugin_entry call;
    CoreFunction core;
    bool reads;                // a get call: answers the status as data
    std::vector<Arg> args;     // "param1", "param2", ... in order
    const char *valid;         // a request that decodes ("ID": the test's id)
    const char *path;          // its path, or null: its id
    int64_t number1, number2;  // the integers it passes (-1: none)
};

const std::vector<Entry> &entries() {
    static const std::vector<Entry> all = {
        {"get_status",
         zorva_scene_plugin_container_get_status,
         CoreFunction::GetStatus,
         true,
         {Arg::Id},
         "{'param1': <'ID'>}",
         nullptr,
         -1,
         -1},
        {"set_status",
         zorva_scene_plugin_container_set_status,
         CoreFunction::SetStatus,
         false,
         {Arg::Id, Arg::Status},
         "{'param1': <'ID'>, 'param2': <2>}",
         nullptr,
         2,
         -1},
        {"get_module_status",
         zorva_scene_plugin_container_get_module_status,
         CoreFunction::GetModuleStatus,
         true,
         {Arg::Id, Arg::Module},
         "{'param1': <'ID'>, 'param2': <uint32 1>}",
         nullptr,
         1,
         -1},
        {"set_module_status",
         zorva_scene_plugin_container_set_module_status,
         CoreFunction::SetModuleStatus,
         false,
         {Arg::Id, Arg::Module, Arg::ModuleStatus},
         "{'param1': <'ID'>, 'param2': <1>, 'param3': <uint32 3>}",
         nullptr,
         1,
         3},
        {"filectl_add",
         zorva_scene_plugin_filectl_add_container_policy_by_path,
         CoreFunction::AddFilePath,
         false,
         {Arg::Path, Arg::Mode},
         "{'param1': <'/usr/bin/x'>, 'param2': <1>}",
         "/usr/bin/x",
         1,
         -1},
        {"filectl_remove",
         zorva_scene_plugin_filectl_remove_container_policy_by_path,
         CoreFunction::RemoveFilePath,
         false,
         {Arg::Path, Arg::Mode},
         "{'param1': <'/usr/bin/x'>, 'param2': <uint32 2>}",
         "/usr/bin/x",
         2,
         -1},
        {"netctl_add",
         zorva_scene_plugin_netctl_add_container_policy_by_path,
         CoreFunction::AddNetPath,
         false,
         {Arg::Path},
         "{'param1': <'/usr/bin/curl'>}",
         "/usr/bin/curl",
         -1,
         -1},
        {"netctl_remove",
         zorva_scene_plugin_netctl_remove_container_policy_by_path,
         CoreFunction::RemoveNetPath,
         false,
         {Arg::Path},
         "{'param1': <'/usr/bin/curl'>}",
         "/usr/bin/curl",
         -1,
         -1},
    };
    return all;
}

const char *failureMessage(Arg arg) {
    switch (arg) {
    case Arg::Id:
        return kInvalidContainerId;
    case Arg::Status:
    case Arg::ModuleStatus:
        return kInvalidStatus;
    case Arg::Module:
        return kInvalidModule;
    case Arg::Path:
    case Arg::Mode:
        return kInvalidParameter;
    }
    return nullptr;
}

std::string paramKey(std::size_t index) { return "param" + std::to_string(index + 1); }

std::string print(GVariant *value) {
    gchar *text = g_variant_print(value, TRUE);
    std::string out(text);
    g_free(text);
    return out;
}

VariantPtr parse(const std::string &text) { return VariantPtr(g_variant_ref_sink(g_variant_new_parsed(text.c_str()))); }

// `entry.valid` with "ID" replaced by the test's id.
VariantPtr validRequest(const Entry &entry) {
    std::string text = entry.valid;
    auto at = text.find("'ID'");
    if (at != std::string::npos)
        text.replace(at, 4, "'" + kId + "'");
    return parse(text);
}

// `request` with `key` set to `value`, or removed when `value` is null.
VariantPtr with(GVariant *request, const std::string &key, VariantPtr value) {
    GVariantDict dict;
    g_variant_dict_init(&dict, request);
    if (value)
        g_variant_dict_insert_value(&dict, key.c_str(), value.get());
    else
        g_variant_dict_remove(&dict, key.c_str());
    return VariantPtr(g_variant_ref_sink(g_variant_dict_end(&dict)));
}

// Calls the entry point, checks the response contract and returns its text.
std::string call(const Entry &entry, GVariant *request) {
    GVariant *response = entry.call(request);
    EXPECT_NE(response, nullptr) << entry.name;
    if (response == nullptr)
        return "";
    EXPECT_FALSE(g_variant_is_floating(response)) << entry.name;
    EXPECT_TRUE(g_variant_is_of_type(response, G_VARIANT_TYPE_VARDICT)) << entry.name;
    std::string text = print(response);
    g_variant_unref(response);
    return text;
}

std::string refused(const char *message) { return "{'code': <-1>, 'message': <'" + std::string(message) + "'>}"; }

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override { resetCore(); }
    void TearDown() override {
        resetCore();
        setCoreObserver({});
    }
};

TEST_F(EntryPoints, NullOrNonDictionaryRequestIsInvalidFormat) {
    for (const auto &entry : entries()) {
        EXPECT_EQ(call(entry, nullptr), refused(kInvalidFormat)) << entry.name;
        for (const char *text : {"'text'", "@a{ss} {'param1': 'x'}", "[<'x'>]", "@a{sv} {}"}) {
            auto request = parse(text);
            std::string expected =
                refused(std::string(text) == "@a{sv} {}" ? failureMessage(entry.args[0]) : kInvalidFormat);
            EXPECT_EQ(call(entry, request.get()), expected) << entry.name << " " << text;
        }
    }
    EXPECT_TRUE(coreCalls().empty());
}

TEST_F(EntryPoints, MissingParameterIsRefusedWithItsMessage) {
    for (const auto &entry : entries()) {
        auto valid = validRequest(entry);
        for (std::size_t i = 0; i < entry.args.size(); ++i) {
            auto request = with(valid.get(), paramKey(i), {});
            EXPECT_EQ(call(entry, request.get()), refused(failureMessage(entry.args[i])))
                << entry.name << " without " << paramKey(i);
        }
    }
    EXPECT_TRUE(coreCalls().empty());
}

TEST_F(EntryPoints, EveryKeyOfTheWrongTypeIsRefusedWithItsMessage) {
    const char *notString[] = {"<1>",         "<uint32 1>",  "<true>",    "<objectpath '/a'>", "<@as ['x']>",
                               "<<'boxed'>>", "<byte 0x31>", "<int64 1>", "<signature 's'>"};
    const char *notInteger[] = {"<'1'>",      "<true>",   "<int64 1>", "<uint64 1>", "<int16 1>",
                                "<uint16 1>", "<byte 1>", "<<1>>",     "<1.0>",      "<@ai [1]>"};
    const char *notBool[] = {"<1>", "<'true'>", "<byte 1>", "<<true>>", "<@ab [true]>"};
    auto wrong = [&](const std::string &value) { return g_variant_new_parsed(value.c_str()); };

    for (const auto &entry : entries()) {
        auto valid = validRequest(entry);
        for (std::size_t i = 0; i < entry.args.size(); ++i) {
            bool isString = entry.args[i] == Arg::Id || entry.args[i] == Arg::Path;
            for (const char *value : isString
                                         ? std::vector<const char *>(std::begin(notString), std::end(notString))
                                         : std::vector<const char *>(std::begin(notInteger), std::end(notInteger))) {
                // A value is boxed in the dictionary: unbox the parsed <...>.
                VariantPtr boxed(g_variant_ref_sink(wrong(value)));
                auto request = with(valid.get(), paramKey(i), VariantPtr(g_variant_get_variant(boxed.get())));
                EXPECT_EQ(call(entry, request.get()), refused(failureMessage(entry.args[i])))
                    << entry.name << " " << paramKey(i) << "=" << value;
            }
        }
        for (const char *key : {"scene", "sync", "scene_switch"}) {
            bool isScene = std::strcmp(key, "scene") == 0;
            for (const char *value : isScene ? std::vector<const char *>{"<1>", "<true>", "<@as ['x']>", "<<'x'>>"}
                                             : std::vector<const char *>(std::begin(notBool), std::end(notBool))) {
                VariantPtr boxed(g_variant_ref_sink(wrong(value)));
                auto request = with(valid.get(), key, VariantPtr(g_variant_get_variant(boxed.get())));
                EXPECT_EQ(call(entry, request.get()), refused(kInvalidParameter))
                    << entry.name << " " << key << "=" << value;
            }
        }
    }
    EXPECT_TRUE(coreCalls().empty());
}

// Decoding goes in key order: the first bad key names the failure.
TEST_F(EntryPoints, FirstBadKeyNamesTheFailure) {
    const auto &setModule = entries()[3];
    auto request = parse("{'param1': <5>, 'param2': <-1>, 'param3': <-1>, 'sync': <1>}");
    EXPECT_EQ(call(setModule, request.get()), refused(kInvalidContainerId));
    request = parse("{'param1': <'id'>, 'param2': <-1>, 'param3': <-1>, 'sync': <1>}");
    EXPECT_EQ(call(setModule, request.get()), refused(kInvalidModule));
    request = parse("{'param1': <'id'>, 'param2': <1>, 'param3': <-1>, 'sync': <1>}");
    EXPECT_EQ(call(setModule, request.get()), refused(kInvalidStatus));
    request = parse("{'param1': <'id'>, 'param2': <1>, 'param3': <1>, 'sync': <1>}");
    EXPECT_EQ(call(setModule, request.get()), refused(kInvalidParameter));
    EXPECT_TRUE(coreCalls().empty());
}

struct RangeCase {
    std::size_t entry;
    const char *request;
    const char *refusal;  // null: decodes
    int64_t number1, number2;
};

TEST_F(EntryPoints, IntegersOutsideTheCoreArgumentAreRefusedNeverCast) {
    const RangeCase cases[] = {
        // set status: an int32_t; "u" above 2^31-1 is refused, negative "i" goes to the core.
        {1, "{'param1': <'id'>, 'param2': <uint32 2147483648>}", kInvalidStatus, 0, 0},
        {1, "{'param1': <'id'>, 'param2': <uint32 4294967295>}", kInvalidStatus, 0, 0},
        {1, "{'param1': <'id'>, 'param2': <uint32 2147483647>}", nullptr, INT32_MAX, -1},
        {1, "{'param1': <'id'>, 'param2': <-2147483648>}", nullptr, INT32_MIN, -1},
        {1, "{'param1': <'id'>, 'param2': <uint32 4>}", nullptr, 4, -1},
        // module: a uint32_t; negative "i" is refused, "u" takes its whole range.
        {2, "{'param1': <'id'>, 'param2': <-1>}", kInvalidModule, 0, 0},
        {2, "{'param1': <'id'>, 'param2': <-2147483648>}", kInvalidModule, 0, 0},
        {2, "{'param1': <'id'>, 'param2': <uint32 4294967295>}", nullptr, UINT32_MAX, -1},
        {2, "{'param1': <'id'>, 'param2': <2147483647>}", nullptr, INT32_MAX, -1},
        {3, "{'param1': <'id'>, 'param2': <-1>, 'param3': <1>}", kInvalidModule, 0, 0},
        {3, "{'param1': <'id'>, 'param2': <1>, 'param3': <-1>}", kInvalidStatus, 0, 0},
        {3, "{'param1': <'id'>, 'param2': <0>, 'param3': <uint32 4294967295>}", nullptr, 0, UINT32_MAX},
        {3, "{'param1': <'id'>, 'param2': <uint32 7>, 'param3': <3>}", nullptr, 7, 3},
        // file-control mode: a uint32_t.
        {4, "{'param1': <'/p'>, 'param2': <-1>}", kInvalidParameter, 0, 0},
        {5, "{'param1': <'/p'>, 'param2': <-2147483648>}", kInvalidParameter, 0, 0},
        {4, "{'param1': <'/p'>, 'param2': <uint32 4294967295>}", nullptr, UINT32_MAX, -1},
        {5, "{'param1': <'/p'>, 'param2': <0>}", nullptr, 0, -1},
    };
    for (const auto &c : cases) {
        resetCore();
        const auto &entry = entries()[c.entry];
        auto request = parse(c.request);
        std::string answer = call(entry, request.get());
        if (c.refusal != nullptr) {
            EXPECT_EQ(answer, refused(c.refusal)) << entry.name << " " << c.request;
            EXPECT_TRUE(coreCalls().empty()) << c.request;
            continue;
        }
        ASSERT_EQ(coreCalls().size(), 1u) << c.request;
        EXPECT_EQ(coreCalls()[0].number1, c.number1) << c.request;
        EXPECT_EQ(coreCalls()[0].number2, c.number2) << c.request;
    }
}

TEST_F(EntryPoints, OverlongStringsAreRefusedNotShortened) {
    for (const auto &entry : entries()) {
        bool isId = entry.args[0] == Arg::Id;
        std::size_t limit = isId ? 64 : 4095;
        std::string prefix = isId ? "" : "/";
        auto valid = validRequest(entry);
        for (std::size_t size : {limit, limit + 1, std::size_t(1) << 20}) {
            resetCore();
            std::string text = prefix + std::string(size - prefix.size(), 'x');
            auto request = with(valid.get(), "param1", glib_helper::adoptVariant(g_variant_new_string(text.c_str())));
            std::string answer = call(entry, request.get());
            if (size <= limit) {
                ASSERT_EQ(coreCalls().size(), 1u) << entry.name;
                EXPECT_EQ(coreCalls()[0].text, text) << entry.name;
            } else {
                EXPECT_EQ(answer, refused(failureMessage(entry.args[0]))) << entry.name << " " << size;
                EXPECT_TRUE(coreCalls().empty());
            }
        }
    }
}

// The serialised form of `request`, with the first occurrence of `from`
// replaced by `to` (same size), as an untrusted value.
VariantPtr patched(GVariant *request, const std::string &from, const std::string &to) {
    std::string bytes(static_cast<const char *>(g_variant_get_data(request)), g_variant_get_size(request));
    auto at = bytes.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        bytes.replace(at, from.size(), to);
    GBytes *data = g_bytes_new(bytes.data(), bytes.size());
    GVariant *value = g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, data, FALSE);
    g_bytes_unref(data);
    return VariantPtr(g_variant_ref_sink(value));
}

TEST_F(EntryPoints, ValuesNotInNormalFormAreRefused) {
    const auto &getStatus = entries()[0];
    const auto &netAdd = entries()[6];
    const auto &setStatus = entries()[1];
    // A string that is not UTF-8.
    auto request = parse("{'param1': <'abcd'>}");
    EXPECT_EQ(call(getStatus, patched(request.get(), "abcd", "ab\xff\xfe").get()), refused(kInvalidContainerId));
    request = parse("{'param1': <'/usr/bin'>}");
    EXPECT_EQ(call(netAdd, patched(request.get(), "/usr/bin", "/usr/\xc3\x28n").get()), refused(kInvalidParameter));
    request = parse("{'param1': <'id'>, 'scene': <'sceneX'>}");
    EXPECT_EQ(call(getStatus, patched(request.get(), "sceneX", std::string("sce\0eX", 6)).get()),
              refused(kInvalidParameter));
    // A boolean stored as 2.
    request = parse("{'param1': <'id'>, 'sync': <true>}");
    EXPECT_EQ(call(getStatus, patched(request.get(), std::string("\x01\0b", 3), std::string("\x02\0b", 3)).get()),
              refused(kInvalidParameter));
    // An int32 whose boxed value claims a type it cannot hold.
    request = parse("{'param1': <'c1'>, 'param2': <int32 2>}");
    EXPECT_EQ(call(setStatus, patched(request.get(), std::string("\0i", 2), std::string("\0y", 2)).get()),
              refused(kInvalidStatus));
    EXPECT_TRUE(coreCalls().empty());
    // The same requests unpatched decode (the patch is what is refused).
    request = parse("{'param1': <'id'>, 'sync': <true>}");
    GBytes *data = g_variant_get_data_as_bytes(request.get());
    VariantPtr untrusted(g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, data, FALSE)));
    g_bytes_unref(data);
    call(getStatus, untrusted.get());
    ASSERT_EQ(coreCalls().size(), 1u);
    EXPECT_EQ(coreCalls()[0].addonKind, 1);
}

VariantPtr withDuplicate(const char *key, const char *first, const char *second, const char *base) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    auto baseValue = parse(base);
    GVariantIter iter;
    g_variant_iter_init(&iter, baseValue.get());
    while (GVariant *entry = g_variant_iter_next_value(&iter))
        g_variant_builder_add_value(&builder, entry), g_variant_unref(entry);
    g_variant_builder_add(&builder, "{sv}", key, g_variant_new_parsed(first));
    g_variant_builder_add(&builder, "{sv}", key, g_variant_new_parsed(second));
    return VariantPtr(g_variant_ref_sink(g_variant_builder_end(&builder)));
}

TEST_F(EntryPoints, AKeyReadTwiceIsRefused) {
    const auto &setStatus = entries()[1];
    EXPECT_EQ(call(setStatus, withDuplicate("param1", "'a'", "'b'", "{'param2': <2>}").get()),
              refused(kInvalidContainerId));
    EXPECT_EQ(call(setStatus, withDuplicate("param2", "2", "0", "{'param1': <'a'>}").get()), refused(kInvalidStatus));
    EXPECT_EQ(call(setStatus, withDuplicate("sync", "false", "true", "{'param1': <'a'>, 'param2': <2>}").get()),
              refused(kInvalidParameter));
    EXPECT_EQ(call(setStatus, withDuplicate("scene", "'a'", "'a'", "{'param1': <'a'>, 'param2': <2>}").get()),
              refused(kInvalidParameter));
    EXPECT_TRUE(coreCalls().empty());
    // Keys the plug-in does not read may repeat.
    call(setStatus, withDuplicate("other", "1", "'x'", "{'param1': <'a'>, 'param2': <2>}").get());
    EXPECT_EQ(coreCalls().size(), 1u);
}

TEST_F(EntryPoints, AddonNameAndKindComeFromSceneSyncAndSceneSwitch) {
    struct AddonCase {
        const char *keys;
        const char *name;
        int32_t kind;
    } cases[] = {
        {"", "zorva_container", 0},
        {", 'scene': <'other_scene'>", "other_scene", 0},
        {", 'scene': <''>", "", 0},
        {", 'sync': <true>", "zorva_container", 1},
        {", 'sync': <false>", "zorva_container", 0},
        {", 'scene_switch': <true>", "zorva_container", 2},
        {", 'scene_switch': <false>, 'sync': <true>", "zorva_container", 1},
        {", 'sync': <true>, 'scene_switch': <true>, 'scene': <'s'>", "s", 2},
    };
    for (const auto &entry : entries()) {
        for (const auto &c : cases) {
            resetCore();
            std::string text = print(validRequest(entry).get());
            text.insert(text.size() - 1, c.keys);
            auto request = parse(text);
            call(entry, request.get());
            ASSERT_EQ(coreCalls().size(), 1u) << entry.name << " " << text;
            EXPECT_FALSE(coreCalls()[0].nullAddon);
            EXPECT_EQ(coreCalls()[0].addonName, c.name) << text;
            EXPECT_EQ(coreCalls()[0].addonKind, c.kind) << text;
        }
    }
}

TEST_F(EntryPoints, EachCallsItsCoreFunctionWithTheDecodedArguments) {
    for (const auto &entry : entries()) {
        resetCore();
        auto request = validRequest(entry);
        EXPECT_EQ(call(entry, request.get()), entry.reads ? "{'code': <0>, 'message': <'success'>, 'data': <0>}"
                                                          : "{'code': <0>, 'message': <'success'>}");
        ASSERT_EQ(coreCalls().size(), 1u) << entry.name;
        const auto &c = coreCalls()[0];
        EXPECT_EQ(c.function, entry.core) << entry.name;
        EXPECT_FALSE(c.nullText);
        EXPECT_EQ(c.text, entry.path != nullptr ? entry.path : kId) << entry.name;
        EXPECT_EQ(c.number1, entry.number1) << entry.name;
        EXPECT_EQ(c.number2, entry.number2) << entry.name;
        EXPECT_EQ(c.addonName, "zorva_container");
        EXPECT_EQ(c.addonKind, 0);
    }
}

// An empty id or path is the core library's to judge, not a decoding failure.
TEST_F(EntryPoints, EmptyStringsReachTheCore) {
    for (const auto &entry : entries()) {
        resetCore();
        setCoreResult(-1);
        auto request = with(validRequest(entry).get(), "param1", glib_helper::adoptVariant(g_variant_new_string("")));
        EXPECT_EQ(call(entry, request.get()), "{'code': <-1>, 'message': <'" + std::string(messageForCode(-1)) + "'>}");
        ASSERT_EQ(coreCalls().size(), 1u) << entry.name;
        EXPECT_EQ(coreCalls()[0].text, "");
    }
}

TEST_F(EntryPoints, EveryCodeIsAnsweredThroughTheOneTable) {
    std::vector<int32_t> codes = {-100, -101, -18, 1, 2, 3, 4, 17, INT32_MIN, INT32_MAX};
    for (int32_t code = 0; code >= -17; --code)
        codes.push_back(code);
    for (const auto &entry : entries()) {
        auto request = validRequest(entry);
        for (int32_t code : codes) {
            setCoreResult(code);
            std::string expected;
            if (entry.reads && code >= 0)  // a status read
                expected = "{'code': <0>, 'message': <'success'>, 'data': <" + std::to_string(code) + ">}";
            else
                expected = "{'code': <" + std::to_string(code) + ">, 'message': <'" + messageForCode(code) + "'>}";
            EXPECT_EQ(call(entry, request.get()), expected) << entry.name << " " << code;
        }
    }
}

TEST_F(EntryPoints, TheRequestIsBorrowed) {
    for (const auto &entry : entries()) {
        auto valid = validRequest(entry);
        // A floating request stays floating: never sunk.
        GVariant *floating = g_variant_new_parsed(print(valid.get()).c_str());
        call(entry, floating);
        EXPECT_TRUE(g_variant_is_floating(floating)) << entry.name;
        g_variant_unref(g_variant_ref_sink(floating));
        // Nor released: the caller's reference stays usable (a double
        // release shows under AddressSanitizer).
        call(entry, valid.get());
        call(entry, valid.get());
        EXPECT_TRUE(g_variant_is_of_type(valid.get(), G_VARIANT_TYPE_VARDICT));
        // A refused request too.
        GVariant *wrong = g_variant_new_parsed("@a{sv} {'param1': <1>}");
        call(entry, wrong);
        EXPECT_TRUE(g_variant_is_floating(wrong));
        g_variant_unref(g_variant_ref_sink(wrong));
    }
}

TEST_F(EntryPoints, NoExceptionLeavesAnEntryPoint) {
    setCoreObserver([](const CoreCall &) { throw std::runtime_error("core failure"); });
    for (const auto &entry : entries()) {
        auto request = validRequest(entry);
        EXPECT_EQ(call(entry, request.get()), "{'code': <-100>, 'message': <'unknow error'>}") << entry.name;
    }
}

}  // namespace

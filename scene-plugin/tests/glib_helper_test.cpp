// The dictionary helpers: what each adder writes, null and bad input, the
// references they take and give, moved-from owners, and the array walk.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "glib_helper.h"

using namespace glib_helper;

namespace {

std::string print(GVariant *value) {
    gchar *text = g_variant_print(value, TRUE);
    std::string out(text);
    g_free(text);
    return out;
}

// Builds the dictionary and owns the result.
VariantPtr finish(DictBuilder &builder) { return adoptVariant(builder.build()); }

VariantPtr parse(const char *text) { return adoptVariant(g_variant_new_parsed(text)); }

TEST(DictBuilder, EachAdderWritesItsTypeInCallOrder) {
    GVariant *inner = g_variant_new_int32(7);
    const char *strings[] = {"a", "b", nullptr};
    DictBuilder builder;
    builder.addUint64("t", 18446744073709551615u)
        .addInt32("i", -5)
        .addInt64("x", -9)
        .addUint32("u", 4294967295u)
        .addBool("b", true)
        .addString("s", "it's")
        .addVariant("v", inner)
        .addStringArray("as", strings, -1);
    auto dict = finish(builder);
    EXPECT_TRUE(g_variant_is_of_type(dict.get(), G_VARIANT_TYPE_VARDICT));
    EXPECT_EQ(print(dict.get()), "{'t': <uint64 18446744073709551615>, 'i': <-5>, 'x': <int64 -9>, "
                                 "'u': <uint32 4294967295>, 'b': <true>, 's': <\"it's\">, 'v': <<7>>, "
                                 "'as': <['a', 'b']>}");
}

TEST(DictBuilder, NullValuesAndKeysAddNothing) {
    DictBuilder builder;
    builder.addString("s", nullptr)
        .addVariant("v", nullptr)
        .addStringArray(nullptr, nullptr, 0)
        .addInt32(nullptr, 1)
        .addBool(nullptr, true)
        .addString(nullptr, "x")
        .addInt32("kept", 1);
    EXPECT_EQ(print(finish(builder).get()), "{'kept': <1>}");
}

TEST(DictBuilder, StringArrayCountsAndNullElements) {
    const char *strings[] = {"a", nullptr, "c"};
    DictBuilder builder;
    builder.addStringArray("two", strings, 1)
        .addStringArray("null_inside", strings, 3)
        .addStringArray("terminated", strings, -1)
        .addStringArray("none", nullptr, -1)
        .addStringArray("zero", strings, 0)
        .addStringArray("bad_count", strings, -2);
    EXPECT_EQ(print(finish(builder).get()), "{'two': <['a']>, 'null_inside': <['a', '', 'c']>, "
                                            "'terminated': <['a']>, 'none': <@as []>, 'zero': <@as []>}");
}

TEST(DictBuilder, TextThatIsNotUtf8IsRepairedAndABadKeyIsDropped) {
    const char *strings[] = {"ok", "b\xff", nullptr};
    DictBuilder builder;
    builder.addString("s", "a\xc3(b").addString("k\xff", "dropped").addStringArray("as", strings, -1);
    EXPECT_EQ(print(finish(builder).get()), "{'s': <'a\xEF\xBF\xBD(b'>, 'as': <['ok', 'b\xEF\xBF\xBD']>}");
}

TEST(DictBuilder, BuildGivesAFloatingDictionaryOnce) {
    DictBuilder builder;
    builder.addInt32("a", 1);
    GVariant *dict = builder.build();
    ASSERT_NE(dict, nullptr);
    EXPECT_TRUE(g_variant_is_floating(dict));
    EXPECT_TRUE(builder.empty());
    EXPECT_EQ(builder.build(), nullptr);
    g_variant_unref(g_variant_ref_sink(dict));
}

TEST(DictBuilder, EmptyDictionary) {
    DictBuilder builder;
    EXPECT_EQ(print(finish(builder).get()), "@a{sv} {}");
}

// The leak checker fails the run if a floating value handed over is kept.
TEST(DictBuilder, FloatingValuesAreConsumedEvenWhenNothingIsAdded) {
    DictBuilder builder;
    builder.addVariant("kept", g_variant_new_string("one")).addVariant(nullptr, g_variant_new_string("two"));
    auto dict = finish(builder);
    builder.addVariant("after_build", g_variant_new_string("three"));
    EXPECT_EQ(print(dict.get()), "{'kept': <<'one'>>}");
}

TEST(DictBuilder, NonFloatingValuesStayTheCallers) {
    GVariant *value = g_variant_ref_sink(g_variant_new_string("mine"));
    {
        DictBuilder builder;
        builder.addVariant("v", value).addVariant(nullptr, value);
        auto dict = finish(builder);
        EXPECT_EQ(print(dict.get()), "{'v': <<'mine'>>}");
    }
    EXPECT_FALSE(g_variant_is_floating(value));
    EXPECT_STREQ(g_variant_get_string(value, nullptr), "mine");  // still alive after the dictionary went
    g_variant_unref(value);
}

TEST(DictBuilder, MovedFromBuilderIsEmptyAndAddsNothing) {
    DictBuilder source;
    source.addInt32("a", 1);
    DictBuilder target(std::move(source));
    EXPECT_TRUE(source.empty());
    source.addInt32("b", 2).addVariant("c", g_variant_new_int32(3));
    EXPECT_EQ(source.build(), nullptr);
    target.addInt32("d", 4);
    EXPECT_EQ(print(finish(target).get()), "{'a': <1>, 'd': <4>}");
}

TEST(DictBuilder, MoveAssignmentReleasesTheBuilderItHeld) {
    DictBuilder held;
    held.addString("lost", "released, not leaked");
    DictBuilder other;
    other.addInt32("x", 1);
    held = std::move(other);
    EXPECT_TRUE(other.empty());
    EXPECT_EQ(print(finish(held).get()), "{'x': <1>}");
    held = DictBuilder();  // assigning over an empty builder
    held.addInt32("y", 2);
    EXPECT_EQ(print(finish(held).get()), "{'y': <2>}");
}

TEST(DictView, OnlyAnA_sv_DictionaryMakesAView) {
    EXPECT_FALSE(DictView::init(nullptr));
    const std::pair<const char *, bool> cases[] = {
        {"@a{ss} {}", false}, {"['a']", false}, {"'s'", false}, {"@a{sv} {}", true}, {"{'a': <1>}", true}};
    for (const auto &[text, makesView] : cases) {
        auto value = parse(text);
        EXPECT_EQ(DictView::init(value.get()).has_value(), makesView) << text;
    }
}

TEST(DictView, InitBorrowsAFloatingValue) {
    GVariant *floating = g_variant_new_parsed("{'a': <1>}");
    {
        auto view = DictView::init(floating);
        ASSERT_TRUE(view);
        EXPECT_TRUE(g_variant_is_floating(floating));
    }
    EXPECT_TRUE(g_variant_is_floating(floating));
    g_variant_unref(g_variant_ref_sink(floating));
}

TEST(DictView, GettersReadOnlyTheirOwnType) {
    auto value = parse("{'i': <int32 -1>, 'x': <int64 -2>, 'u': <uint32 3>, 't': <uint64 4>, 'b': <true>,"
                       " 's': <'text'>, 'v': <<'boxed'>>, 'as': <['p', 'q']>}");
    auto view = DictView::init(value.get());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->getInt32("i"), -1);
    EXPECT_EQ(view->getInt64("x"), -2);
    EXPECT_EQ(view->getUint32("u"), 3u);
    EXPECT_EQ(view->getUint64("t"), 4u);
    EXPECT_EQ(view->getBool("b"), true);
    EXPECT_EQ(view->getString("s"), "text");
    // Another type, or a missing key, is empty.
    EXPECT_FALSE(view->getInt32("u"));
    EXPECT_FALSE(view->getInt64("i"));
    EXPECT_FALSE(view->getUint32("i"));
    EXPECT_FALSE(view->getUint64("u"));
    EXPECT_FALSE(view->getBool("i"));
    EXPECT_FALSE(view->getString("v"));
    EXPECT_FALSE(view->getString("missing"));
    EXPECT_FALSE(view->getInt32(nullptr));
    EXPECT_EQ(view->getVariant("s"), nullptr);
    gsize count = 99;
    EXPECT_EQ(view->getStringArray("s", &count), nullptr);
    EXPECT_EQ(count, 0u);
}

TEST(DictView, GetVariantUnboxesAnOwnedReference) {
    auto value = parse("{'v': <<int64 5>>}");
    auto view = DictView::init(value.get());
    VariantPtr inner(view->getVariant("v"));
    ASSERT_TRUE(inner);
    EXPECT_FALSE(g_variant_is_floating(inner.get()));
    value.reset();
    view.reset();
    EXPECT_EQ(g_variant_get_int64(inner.get()), 5);  // outlives the dictionary
}

TEST(DictView, StringCopiesAndArraysOutliveTheRequestValue) {
    auto value = parse("{'s': <'copy'>, 'as': <['p', 'q', '']>}");
    auto view = DictView::init(value.get());
    value.reset();  // the view keeps what it needs
    gsize count = 0;
    const gchar **strings = view->getStringArray("as", &count);
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(strings[0], "p");
    EXPECT_STREQ(strings[1], "q");
    EXPECT_STREQ(strings[2], "");
    EXPECT_EQ(strings[3], nullptr);
    g_free(strings);
    g_free(view->getStringArray("as", nullptr));
    std::string copy = view->getString("s").value();
    view.reset();
    EXPECT_EQ(copy, "copy");
}

TEST(DictView, MovedFromViewIsEmpty) {
    auto value = parse("{'i': <1>}");
    auto view = DictView::init(value.get());
    DictView target(std::move(*view));
    EXPECT_TRUE(view->empty());
    EXPECT_FALSE(view->getInt32("i"));
    EXPECT_EQ(view->getVariant("i"), nullptr);
    EXPECT_EQ(target.getInt32("i"), 1);

    auto other = parse("{'j': <2>}");
    auto second = DictView::init(other.get());
    target = std::move(*second);  // releases the first dictionary
    EXPECT_FALSE(target.getInt32("i"));
    EXPECT_EQ(target.getInt32("j"), 2);
    DictView empty(nullptr);
    EXPECT_FALSE(empty.getString("j"));
}

TEST(VariantArray, RejectsNullAndNonArrays) {
    auto value = parse("'text'");
    auto dict = parse("{'a': <1>}");
    int calls = 0;
    auto count = [&](std::size_t, GVariant *) { return ++calls, true; };
    EXPECT_EQ(VariantArray::loopWhile(nullptr, count), -1);
    EXPECT_EQ(VariantArray::loopWhile(value.get(), count), -2);
    EXPECT_EQ(VariantArray::loopWhile(dict.get(), {}), -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(VariantArray::loopWhile(dict.get(), count), 1);  // a dictionary is an array of entries
}

TEST(VariantArray, VisitsInOrderAndStopsAfterTheFirstFalse) {
    auto empty = parse("@as []");
    EXPECT_EQ(VariantArray::loopWhile(empty.get(), [](std::size_t, GVariant *) { return true; }), 0);

    auto three = parse("['a', 'b', 'c']");
    std::vector<std::pair<std::size_t, std::string>> seen;
    auto record = [&](std::size_t index, GVariant *element) {
        seen.emplace_back(index, g_variant_get_string(element, nullptr));
        return index != 1;
    };
    EXPECT_EQ(VariantArray::loopWhile(three.get(), record), 2);
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{{0, "a"}, {1, "b"}}));
    seen.clear();
    EXPECT_EQ(VariantArray::loopWhile(three.get(), [&](std::size_t i, GVariant *e) { return record(i + 2, e); }), 3);
    EXPECT_EQ(seen.size(), 3u);
}

}  // namespace

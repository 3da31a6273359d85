#include "json_text.hpp"

#include <array>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace quenlith_types {
namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// check_utf8

TEST(CheckUtf8, AcceptsWellFormedText) {
    const std::string_view cases[] = {
        "",
        "plain ascii\x7F",
        "\xC2\x80 \xDF\xBF",                  // U+0080, U+07FF
        "\xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF",  // U+0800, U+D7FF, U+E000, U+FFFF
        "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF",  // U+10000, U+10FFFF
        "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
    };
    for (const auto text : cases) {
        const auto checked = check_utf8(text);
        EXPECT_TRUE(checked.ok()) << checked.error();
    }
    EXPECT_TRUE(check_utf8(std::string_view("a\0b", 3)).ok());
}

struct BadUtf8 {
    std::string_view bytes;
    std::string_view message;
};

TEST(CheckUtf8, DescribesTheFirstFault) {
    const BadUtf8 cases[] = {
        {"abc\xFF", "invalid utf-8 sequence of 1 bytes from index 3"},
        {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ab\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},      // overlong
        {"\xC1\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},        // overlong
        {"\xE0\x9F\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},    // overlong
        {"\xF0\x8F\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
        {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},    // surrogate
        {"\xED\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},    // surrogate
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
        {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xC3\x41", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xE2\x41", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"x\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 1"},
        {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xF0\x9F\x98\xF0\x9F\x98\x80", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"abcde\xE2\x82", "incomplete utf-8 byte sequence from index 5"},
        {"\xC3", "incomplete utf-8 byte sequence from index 0"},
        {"\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0"},
        {"caf\xC3\xA9\xC3", "incomplete utf-8 byte sequence from index 5"},
    };
    for (const auto& c : cases) {
        const auto checked = check_utf8(c.bytes);
        ASSERT_FALSE(checked.ok()) << c.message;
        EXPECT_EQ(checked.error(), c.message);
    }
}

// ---------------------------------------------------------------------------
// read_json_variant

constexpr std::array<std::string_view, 4> kTiers = {"hot", "warm", "cold", "forgotten"};
constexpr std::string_view kTierList = "expected one of `hot`, `warm`, `cold`, `forgotten`";

TEST(ReadJsonVariant, FindsTheDecodedVariant) {
    const std::array<std::string_view, 4> symbols = {"a/b", "caf\xC3\xA9", "\xF0\x9F\x98\x80", "q\"\\\b\f\n\r\t"};
    struct Case {
        std::string_view stored;
        std::span<const std::string_view> variants;
        std::size_t index;
    };
    const Case cases[] = {
        {"hot", kTiers, 0},
        {"forgotten", kTiers, 3},
        {"h\\u006ft", kTiers, 0},
        {"\\u0068\\u006F\\u0074", kTiers, 0},
        {"a\\/b", symbols, 0},
        {"a/b", symbols, 0},
        {"caf\xC3\xA9", symbols, 1},
        {"caf\\u00e9", symbols, 1},
        {"\\ud83d\\ude00", symbols, 2},
        {"\\uD83D\\uDE00", symbols, 2},
        {"\xF0\x9F\x98\x80", symbols, 2},
        {"q\\\"\\\\\\b\\f\\n\\r\\t", symbols, 3},
    };
    for (const auto& c : cases) {
        const auto read = read_json_variant(c.stored, c.variants);
        ASSERT_TRUE(read.ok()) << c.stored << ": " << read.error();
        EXPECT_EQ(read.value(), c.index) << c.stored;
    }
}

TEST(ReadJsonVariant, ReportsMalformedOrUnknownStrings) {
    struct Case {
        std::string_view stored;
        std::string message;
    };
    const std::string unknown_hot = "unknown variant `Hot`, " + std::string(kTierList);
    const Case cases[] = {
        // Well-formed but no variant: the column is the whole quoted text.
        {"Hot", unknown_hot + " at line 1 column 5"},
        {"H\\u006ft", unknown_hot + " at line 1 column 10"},
        {"", "unknown variant ``, " + std::string(kTierList) + " at line 1 column 2"},
        {"hot ", "unknown variant `hot `, " + std::string(kTierList) + " at line 1 column 6"},
        {"\\u0000", "unknown variant `" + std::string(1, '\0') + "`, " + std::string(kTierList) +
                        " at line 1 column 8"},
        // Malformed: the column counts the bytes read up to the fault.
        {"a\x01" "b", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\n", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"a\\x", "invalid escape at line 1 column 4"},
        {"\\U0068", "invalid escape at line 1 column 3"},
        {"\\u00g8", "invalid escape at line 1 column 6"},
        {"\\u00", "EOF while parsing a string at line 1 column 6"},
        {"hot\\", "EOF while parsing a string at line 1 column 6"},
        {"\\ud83d\\u00", "EOF while parsing a string at line 1 column 12"},
        {"\\udc00", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\\ud83dx", "lone leading surrogate in hex escape at line 1 column 8"},
        {"\\ud83d", "lone leading surrogate in hex escape at line 1 column 8"},
        {"\\ud83d\\n", "lone leading surrogate in hex escape at line 1 column 9"},
        {"\\ud83d\\u0041", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\\ud83d\\ud83d", "lone leading surrogate in hex escape at line 1 column 13"},
        {"h\xFFt", "invalid unicode code point at line 1 column 5"},
        {"\xED\xA0\x80", "invalid unicode code point at line 1 column 5"},
        // A raw quote closes the string early; what follows is left over.
        {"hot\"", "trailing characters at line 1 column 6"},
        {"Hot\" x", "trailing characters at line 1 column 7"},
        {"\"hot", "trailing characters at line 1 column 3"},
    };
    for (const auto& c : cases) {
        const auto read = read_json_variant(c.stored, kTiers);
        ASSERT_FALSE(read.ok()) << c.stored;
        EXPECT_EQ(read.error(), c.message) << c.stored;
    }
}

TEST(ReadJsonVariant, ListsFewVariantsInPlainWords) {
    const std::array<std::string_view, 2> two = {"yes", "no"};
    const std::array<std::string_view, 1> one = {"only"};
    EXPECT_EQ(read_json_variant("x", two).error(),
              "unknown variant `x`, expected `yes` or `no` at line 1 column 3");
    EXPECT_EQ(read_json_variant("x", one).error(),
              "unknown variant `x`, expected `only` at line 1 column 3");
    EXPECT_EQ(read_json_variant("x", {}).error(),
              "unknown variant `x`, there are no variants at line 1 column 3");
}

// ---------------------------------------------------------------------------
// read_json_value

std::string nested(std::string_view open, std::string_view close, int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "0";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(ReadJsonValue, ReadsOneValueOfAnyType) {
    struct Case {
        std::string text;
        std::string compact;
    };
    const Case cases[] = {
        {"null", "null"},
        {" true\n", "true"},
        {"\t-12.5e1 ", "-125.0"},
        {"18446744073709551615", "18446744073709551615"},
        {"\"caf\\u00e9 \xE2\x82\xAC\"", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
        {"\r\n{\"b\": [1, {\"c\": null}], \"a\": \"x\"}  ", "{\"a\":\"x\",\"b\":[1,{\"c\":null}]}"},
        {"[\"[[[[\\\"{{{{\", \"]]\"]", "[\"[[[[\\\"{{{{\",\"]]\"]"},
        {nested("[", "]", kMaxJsonDepth - 1), nested("[", "]", kMaxJsonDepth - 1)},
        {nested("{\"k\":", "}", kMaxJsonDepth - 1), nested("{\"k\":", "}", kMaxJsonDepth - 1)},
        // Brackets inside strings do not nest.
        {"[\"" + std::string(300, '[') + "\"]", "[\"" + std::string(300, '[') + "\"]"},
    };
    for (const auto& c : cases) {
        const auto read = read_json_value(c.text);
        ASSERT_TRUE(read.ok()) << c.text << ": " << read.error();
        EXPECT_EQ(write_json_compact(read.value()), c.compact);
    }
}

TEST(ReadJsonValue, RefusesNestingAtTheLimit) {
    struct Case {
        std::string text;
        std::string_view message;
    };
    const Case cases[] = {
        {nested("[", "]", kMaxJsonDepth), "recursion limit exceeded at line 1 column 128"},
        {nested("[", "]", 100000), "recursion limit exceeded at line 1 column 128"},
        {nested("{\"k\":", "}", kMaxJsonDepth), "recursion limit exceeded at line 1 column 636"},
        {"[{\"a\":\"]\\\"\"}," + nested("[", "]", kMaxJsonDepth - 1),
         "recursion limit exceeded at line 1 column 140"},
        {"\n  " + nested("[", "]", kMaxJsonDepth), "recursion limit exceeded at line 2 column 130"},
        // Checked before the syntax, so the depth is what gets reported.
        {"x" + std::string(kMaxJsonDepth, '['), "recursion limit exceeded at line 1 column 129"},
    };
    for (const auto& c : cases) {
        const auto read = read_json_value(c.text);
        ASSERT_FALSE(read.ok()) << c.text.substr(0, 20);
        EXPECT_EQ(read.error(), c.message);
    }
}

TEST(ReadJsonValue, ReportsParseErrorsReadably) {
    struct Case {
        std::string text;
        std::string_view message;
    };
    const Case cases[] = {
        {"", "parse error at line 1, column 1: syntax error while parsing value - unexpected end of input"},
        {"   ", "parse error at line 1, column 4: syntax error while parsing value - unexpected end of input"},
        {"[1,]", "parse error at line 1, column 4: syntax error while parsing value - unexpected ']'"},
        {"{} x", "parse error at line 1, column 4: syntax error while parsing value"},
        {"1 2", "parse error at line 1, column 3: syntax error while parsing value - unexpected number literal; expected end of input"},
        {"tru", "parse error at line 1, column 4: syntax error while parsing value - invalid literal"},
        {"NaN", "parse error at line 1, column 1: syntax error while parsing value - invalid literal"},
        {"{'a': 1}", "parse error at line 1, column 2: syntax error while parsing object key - invalid literal"},
        {"[1, 2] // note", "parse error at line 1, column 8: syntax error while parsing value - invalid literal"},
        {"\"a\x01\"", "parse error at line 1, column 3: syntax error while parsing value - invalid string: control character U+0001"},
        {"\"\\ud800\"", "parse error at line 1, column 8: syntax error while parsing value - invalid string: surrogate"},
        {"\"\xFF\"", "parse error at line 1, column 2: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: '\"\xEF\xBF\xBD'"},
        {"1e400", "number overflow parsing '1e400'"},
        {"\xEF\xBB\xBF" "1", "unexpected byte order mark at line 1 column 1"},
    };
    for (const auto& c : cases) {
        const auto read = read_json_value(c.text);
        ASSERT_FALSE(read.ok()) << c.text;
        EXPECT_TRUE(read.error().starts_with(c.message)) << read.error();
        EXPECT_TRUE(check_utf8(read.error()).ok()) << read.error();
    }
}

// ---------------------------------------------------------------------------
// write_json_compact

TEST(WriteJsonCompact, WritesSortedCompactUtf8) {
    struct Case {
        json value;
        std::string_view text;
    };
    const Case cases[] = {
        {json::parse(R"({"b":1,"a":[true,null,"x/y\u0001"]})"), R"({"a":[true,null,"x/y\u0001"],"b":1})"},
        {nullptr, "null"},
        {0.1, "0.1"},
        {1.0, "1.0"},
        {-0.0, "-0.0"},
        {std::nan(""), "null"},
        {HUGE_VAL, "null"},
        {-HUGE_VAL, "null"},
        {json::array({1, -2, 3u}), "[1,-2,3]"},
        {json::object(), "{}"},
        {"caf\xC3\xA9 \"q\" \\ \t\x1F", "\"caf\xC3\xA9 \\\"q\\\" \\\\ \\t\\u001f\""},
        {"bad \xFF byte", "\"bad \xEF\xBF\xBD byte\""},
        // Keys in byte order: upper case, lower case, then non-ASCII.
        {json::parse("{\"\xC3\xA9\":1,\"z\":2,\"A\":3,\"\":4}"), "{\"\":4,\"A\":3,\"z\":2,\"\xC3\xA9\":1}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(write_json_compact(c.value), c.text);
    }
}

}  // namespace
}  // namespace quenlith_types

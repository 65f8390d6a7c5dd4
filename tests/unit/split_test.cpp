// Argument splitting: the documented edge cases as a table, exact vector
// sizes, and inputs that try to make the two passes disagree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/placeholders.h"

namespace {

std::vector<std::string> split(const char* text) {
    ArgumentVector vector = splitArguments(text);
    std::vector<std::string> result;
    if (vector.count == 0) {
        EXPECT_EQ(vector.items, nullptr);
    }
    for (int32_t i = 0; i < vector.count; ++i) result.emplace_back(vector.items[i]);
    freeArgumentVector(&vector);
    EXPECT_EQ(vector.count, 0);
    EXPECT_EQ(vector.items, nullptr);
    return result;
}

using Args = std::vector<std::string>;

struct Case {
    const char* input;
    Args expected;
};

TEST(SplitArguments, DocumentedCases) {
    const Case cases[] = {
        {"", {}},
        {"a b c", {"a", "b", "c"}},
        {"a  b", {"a", "", "b"}},            // two blanks: an empty argument between
        {"a b ", {"a", "b"}},                // a trailing blank adds nothing
        {"a b  ", {"a", "b", ""}},           // two trailing blanks add one empty argument
        {"   a b", {"a", "b"}},              // leading blanks are skipped
        {"\"a b\" c", {"a b", "c"}},
        {"-Dx=\"a b\"", {"-Dx=a b"}},
        {"\"abc\"def", {"abcde"}},           // the last character is taken for the closing quote
        {"\"a b", {"a "}},                   // an unclosed quote runs to the end
        {"a\\\"b", {"a\"b"}},                // a backslash protects a double quote
        {"a\\\\b", {"a\\\\b"}},              // two backslashes stay two backslashes
        {"C:\\temp\\x", {"C:\\temp\\x"}},
        {"a\\", {"a"}},                      // a trailing backslash is dropped
        {"a\\ b", {"a", "b"}},               // but a backslash does not protect a blank
        {"\"", {""}},                        // a lone quote becomes empty
        {"a\tb", {"a\tb"}},                  // tabs are ordinary characters
        {"\t", {"\t"}},
        {" ", {""}},                         // blanks only: the one argument is empty
        {"     ", {""}},
        // Quotes and escapes in detail.
        {"\"\"", {""}},
        {"\"\" x", {"", "x"}},
        {"x \"\"", {"x", ""}},
        {"\"a\\\"b\"", {"a\"b"}},            // an escaped quote inside quotes
        {"\"a \\\" b\" c", {"a \" b", "c"}}, // it does not close the quoted part
        {"\\\"a b\\\"", {"\"a", "b\""}},
        {"a\"b c\"d e", {"ab cd", "e"}},     // quotes in mid-token join, then vanish
        {"\\\\\"a b\"", {"\\\\a b"}},        // a protected backslash leaves the quote free
        // The escape survives the blank and eats the opening quote: the blank
        // inside then cuts, and "\"a" loses its first and last characters.
        {"x\\ \"a b\"", {"x", "", "b"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.input), c.expected) << "input: [" << c.input << "]";
    EXPECT_EQ(split(nullptr), Args{});
}

TEST(SplitArguments, HugeTexts) {
    std::string one(10000, 'x');
    EXPECT_EQ(split(one.c_str()), Args{one});

    std::string many;
    for (int i = 0; i < 5000; ++i) many += "a ";
    Args result = split(many.c_str());
    EXPECT_EQ(result.size(), 5000u);

    std::string blanks = "a" + std::string(10000, ' ') + "b";
    result = split(blanks.c_str());
    ASSERT_EQ(result.size(), 10001u);
    EXPECT_EQ(result.front(), "a");
    EXPECT_EQ(result[5000], "");
    EXPECT_EQ(result.back(), "b");

    std::string quoted = "\"" + std::string(10000, ' ') + "\"";
    EXPECT_EQ(split(quoted.c_str()), Args{std::string(10000, ' ')});

    std::string escapes(10001, '\\');
    EXPECT_EQ(split(escapes.c_str()), Args{std::string(10000, '\\')});
}

TEST(SplitArguments, EveryShortMixOfSpecialCharactersIsSafe) {
    // All texts of up to six characters over the special characters: the two
    // passes must agree (the vector is exact, so a disagreement would show as
    // a wrong count or a sanitizer report), and no argument grows.
    const char alphabet[] = {' ', '"', '\\', 'a'};
    for (int length = 1; length <= 6; ++length) {
        int combinations = 1;
        for (int i = 0; i < length; ++i) combinations *= 4;
        for (int n = 0; n < combinations; ++n) {
            std::string text;
            for (int i = 0, v = n; i < length; ++i, v /= 4) text += alphabet[v % 4];
            ArgumentVector vector = splitArguments(text.c_str());
            ASSERT_GE(vector.count, 0);
            ASSERT_LE(vector.count, length + 1) << text;
            for (int32_t i = 0; i < vector.count; ++i) ASSERT_LE(std::string(vector.items[i]).size(), text.size());
            freeArgumentVector(&vector);
        }
    }
}

}  // namespace

// TextBuffer: the documented first allocation and growth, terminators, and
// texts far bigger than one growth step.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/text_buffer.h"

namespace {

TEST(TextBuffer, FirstAllocationIsTheLargerOf1024AndFourTimesTheText) {
    for (size_t size : {10u, 300u}) {
        std::string text(size, 'x');
        TextBuffer buffer{};
        appendText(&buffer, text.c_str());
        EXPECT_EQ(buffer.capacity, size == 10 ? 1024u : 1200u);
        EXPECT_EQ(buffer.length, size);
        EXPECT_EQ(std::string(buffer.text), text);
        freeTextBuffer(&buffer);
        EXPECT_EQ(buffer.text, nullptr);
        EXPECT_EQ(buffer.capacity, 0u);
    }
    // Null and empty texts allocate nothing.
    TextBuffer buffer{};
    appendText(&buffer, nullptr);
    appendText(&buffer, "");
    appendTextRange(&buffer, "abc", 0);
    EXPECT_EQ(buffer.text, nullptr);
    EXPECT_EQ(buffer.capacity, 0u);
}

TEST(TextBuffer, GrowsOnlyWhenTheTextAndItsTerminatorWouldNotFit) {
    TextBuffer buffer{};
    std::string chunk(1000, 'a');
    appendText(&buffer, chunk.c_str());
    EXPECT_EQ(buffer.capacity, 4000u);
    std::string fill(2999, 'b');
    appendText(&buffer, fill.c_str());  // 3999 characters + terminator = 4000
    EXPECT_EQ(buffer.capacity, 4000u);
    EXPECT_EQ(buffer.length, 3999u);
    appendText(&buffer, "c");           // one more: grows by max(1024, 4)
    EXPECT_EQ(buffer.capacity, 5024u);
    EXPECT_EQ(buffer.length, 4000u);
    std::string large(2000, 'd');
    appendText(&buffer, large.c_str()); // 6000 > 5023: grows by 8000
    EXPECT_EQ(buffer.capacity, 13024u);
    EXPECT_EQ(buffer.length, 6000u);
    EXPECT_EQ(std::strlen(buffer.text), 6000u);
    EXPECT_EQ(buffer.text[5999], 'd');
    freeTextBuffer(&buffer);
}

TEST(TextBuffer, RangesAndManySmallAppendsKeepEveryCharacter) {
    TextBuffer buffer{};
    appendTextRange(&buffer, "abcdef", 3);
    appendTextRange(&buffer, "XYZ", 1);
    EXPECT_STREQ(buffer.text, "abcX");  // ranges append exactly their characters
    std::string expected = "abcX";
    for (int i = 0; i < 5000; ++i) {
        char piece[2] = {static_cast<char>('a' + i % 26), '\0'};
        appendText(&buffer, piece);
        expected += piece;
        ASSERT_LT(buffer.length, buffer.capacity);
    }
    EXPECT_EQ(std::string(buffer.text), expected);
    freeTextBuffer(&buffer);
}

TEST(TextCut, BoundedTextsEndOnAWholeCharacter) {
    const struct {
        const char* text;
        size_t cut;
        size_t expected;
    } cases[] = {
        {"abc", 2, 2},
        {"a\xc3\xa9", 2, 1},            // inside a two-byte sequence: it goes
        {"a\xc3\xa9", 3, 3},
        {"\xe6\x97\xa5x", 2, 0},       // three bytes
        {"\xf0\x9f\x98\x80", 3, 0},   // four bytes
        {"\xf0\x9f\x98\x80z", 4, 4},
        {"\x80\x80\x80\x80\x80", 3, 3},  // no lead byte: cut where asked
        {"", 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(wholeCharacterLength(c.text, c.cut), c.expected) << c.text << " " << c.cut;

    // A bounded text takes nothing after its first cut, not even a piece
    // that would still fit.
    char buffer[8];
    BoundedText text = boundedText(buffer, sizeof(buffer));
    appendBounded(&text, "abcd", 4);
    appendBounded(&text, "\xc3\xa9\xc3\xa9", 4);
    appendBounded(&text, "x", 1);
    EXPECT_STREQ(buffer, "abcd\xc3\xa9");
}

TEST(TextCompare, AsciiCaseOnly) {
    EXPECT_EQ(strcasecmpAscii("AppDir", "APPDIR"), 0);
    EXPECT_NE(strcasecmpAscii("AppDir", "APPDIRX"), 0);
    EXPECT_EQ(strncasecmpAscii("AppDirX", "APPDIRY", 6), 0);
    EXPECT_NE(strcasecmpAscii("\xc3\xa9", "\xc3\x89"), 0);
}

}  // namespace

// TextBuffer: a growable zero-terminated text, and small text helpers shared
// by the launcher's text operations.
#pragma once

#include <cstddef>
#include <cstdint>

struct TextBuffer {
    char* text;         // null until something is appended
    uint32_t length;    // characters held, without the terminator
    uint32_t capacity;  // bytes allocated
};

// Appends a text (null or empty changes nothing). The first allocation is
// the larger of 1024 and 4 x n bytes; growth adds the larger of 1024 and 4 x n.
void appendText(TextBuffer* buffer, const char* text);
// The same for the first n characters of a text.
void appendTextRange(TextBuffer* buffer, const char* text, size_t n);
void freeTextBuffer(TextBuffer* buffer);

// A text in a fixed buffer, always terminated. A piece that does not fit is
// cut on a whole UTF-8 character, and after a cut nothing more is taken.
struct BoundedText {
    char* text;
    size_t capacity;  // bytes, terminator included (at least 1)
    size_t length;
    bool full;
};
BoundedText boundedText(char* buffer, size_t capacity);
void appendBounded(BoundedText* text, const char* piece, size_t n);

// ASCII case-insensitive comparisons (locale independent).
int strcasecmpAscii(const char* a, const char* b);
int strncasecmpAscii(const char* a, const char* b, size_t n);

// The first of prefixes[0 .. count) that text starts with, or nullptr.
const char* startingPrefix(const char* text, const char* const* prefixes, size_t count);
template <size_t N>
const char* startingPrefix(const char* text, const char* const (&prefixes)[N]) {
    return startingPrefix(text, prefixes, N);
}
// True when text ends with tail.
bool endsWithText(const char* text, const char* tail);

// The length of the longest start of text[0..length) that does not end
// inside a UTF-8 character: where a text is cut to a buffer, it is cut there.
size_t wholeCharacterLength(const char* text, size_t length);

// Control characters (below 0x20, and 0x7F) as a person is shown them: \xNN,
// so that a name or value from outside cannot move the cursor, clear the
// screen or hide what follows it. controlEscape writes the four characters
// and a terminator into out when c is one and returns false otherwise;
// escapeControlCharacters returns a heap copy of text with every one escaped.
bool controlEscape(unsigned char c, char out[5]);
char* escapeControlCharacters(const char* text);

// Duplicates a text on the heap (never returns null for a non-null input).
char* duplicateText(const char* text);
// The same for the first length bytes of a text, terminated.
char* duplicateTextRange(const char* text, size_t length);
// Replaces a heap text field, freeing the old text.
void replaceText(char** field, char* newText);

// Cuts a path at its last separator, keeping a root's own separator;
// returns false when it has none.
bool cutAtLastSeparator(char* path);

#include "core/text_buffer.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

void appendTextRange(TextBuffer* buffer, const char* text, size_t n) {
    if (text == nullptr || n == 0) return;
    // Texts beyond 32-bit lengths are not something a launcher handles.
    if (n > UINT32_MAX / 8) std::abort();
    uint32_t count = static_cast<uint32_t>(n);
    uint32_t step = count * 4 > 1024 ? count * 4 : 1024;
    if (buffer->text == nullptr) {
        buffer->capacity = step;
        buffer->text = static_cast<char*>(std::calloc(buffer->capacity, 1));
        if (buffer->text == nullptr) std::abort();
        buffer->length = 0;
    } else if (uint64_t(buffer->length) + count > uint64_t(buffer->capacity) - 1) {
        // The capacity is a 32-bit field: a growth that would wrap it is refused.
        uint64_t grownCapacity = uint64_t(buffer->capacity) + step;
        if (grownCapacity > UINT32_MAX) std::abort();
        buffer->capacity = static_cast<uint32_t>(grownCapacity);
        char* grown = static_cast<char*>(std::realloc(buffer->text, buffer->capacity));
        if (grown == nullptr) std::abort();
        buffer->text = grown;
    }
    std::memcpy(buffer->text + buffer->length, text, count);
    buffer->length += count;
    buffer->text[buffer->length] = '\0';
}

void appendText(TextBuffer* buffer, const char* text) {
    if (text == nullptr) return;
    appendTextRange(buffer, text, std::strlen(text));
}

void freeTextBuffer(TextBuffer* buffer) {
    std::free(buffer->text);
    *buffer = TextBuffer{};
}

BoundedText boundedText(char* buffer, size_t capacity) {
    buffer[0] = '\0';
    return BoundedText{buffer, capacity, 0, false};
}

void appendBounded(BoundedText* text, const char* piece, size_t n) {
    if (text->full) return;
    size_t room = text->capacity - 1 - text->length;
    if (n > room) {
        n = wholeCharacterLength(piece, room);
        text->full = true;
    }
    std::memcpy(text->text + text->length, piece, n);
    text->length += n;
    text->text[text->length] = '\0';
}

static int lowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

int strncasecmpAscii(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int ca = lowerAscii(static_cast<unsigned char>(a[i]));
        int cb = lowerAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int strcasecmpAscii(const char* a, const char* b) { return strncasecmpAscii(a, b, SIZE_MAX); }

const char* startingPrefix(const char* text, const char* const* prefixes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (std::strncmp(text, prefixes[i], std::strlen(prefixes[i])) == 0) return prefixes[i];
    return nullptr;
}

bool endsWithText(const char* text, const char* tail) {
    const size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && std::strcmp(text + n - m, tail) == 0;
}

size_t wholeCharacterLength(const char* text, size_t length) {
    // Find the lead byte of the last character (at most three continuation
    // bytes back) and keep that character only when all its bytes are there.
    size_t lead = length;
    for (size_t back = 0; back < 4 && lead > 0; ++back) {
        unsigned char c = static_cast<unsigned char>(text[--lead]);
        if ((c & 0xC0) != 0x80) {
            size_t size = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return lead + size <= length ? length : lead;
        }
    }
    return length;  // no lead byte nearby: not UTF-8 there, nothing to mend
}

bool controlEscape(unsigned char c, char out[5]) {
    if (c >= 0x20 && c != 0x7F) return false;
    static const char kDigits[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kDigits[c >> 4];
    out[3] = kDigits[c & 15];
    out[4] = '\0';
    return true;
}

char* escapeControlCharacters(const char* text) {
    TextBuffer shown{};
    const char* run = text;
    for (const char* p = text;; ++p) {
        char escaped[5];
        const bool end = *p == '\0';
        if (!end && !controlEscape(static_cast<unsigned char>(*p), escaped)) continue;
        appendTextRange(&shown, run, static_cast<size_t>(p - run));
        if (end) break;
        appendText(&shown, escaped);
        run = p + 1;
    }
    char* result = duplicateText(shown.text != nullptr ? shown.text : "");
    freeTextBuffer(&shown);
    return result;
}

char* duplicateText(const char* text) { return duplicateTextRange(text, std::strlen(text)); }

char* duplicateTextRange(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) std::abort();
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void replaceText(char** field, char* newText) {
    std::free(*field);
    *field = newText;
}

bool cutAtLastSeparator(char* path) {
    char* last = nullptr;
    for (char* p = path; *p != '\0'; ++p)
        if (platform::isPathSeparator(*p)) last = p;
    if (last == nullptr) return false;
    // Keep the root's separator ("C:\" or "/") so that it stays a directory.
    if (last == path || (last == path + 2 && path[1] == ':'))
        last[1] = '\0';
    else
        *last = '\0';
    return true;
}

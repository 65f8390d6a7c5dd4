#include "platform/posix/utf8.h"

namespace platform::utf8 {

uint32_t decode(const unsigned char** cursor, const unsigned char* end) {
    unsigned char lead = *(*cursor)++;
    if (lead < 0x80) return lead;
    unsigned followers = lead >= 0xF0 ? (lead <= 0xF4 ? 3 : 0) : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (followers == 0) return kReplacement;
    if (static_cast<size_t>(end - *cursor) < followers) {
        *cursor = end;
        return kReplacement;
    }
    static const unsigned char masks[4] = {0x7F, 0x1F, 0x0F, 0x07};
    uint32_t value = lead & masks[followers];
    const unsigned char* p = *cursor;
    unsigned char c;
    if (followers == 3) {
        if ((c = *p ^ 0x80) >= 0x40) return kReplacement;
        value = (value << 6) | c;
        *cursor = ++p;
        if (value < 0x10) return kReplacement;  // overlong
    }
    if (followers >= 2) {
        if ((c = *p ^ 0x80) >= 0x40) return kReplacement;
        value = (value << 6) | c;
        if (value >= (0x110000 >> 6)) return kReplacement;  // beyond Unicode
        *cursor = ++p;
        if (value < 0x20) return kReplacement;                                       // overlong
        if (value >= (0xD800 >> 6) && value <= (0xDFFF >> 6)) return kReplacement;  // surrogate
    }
    if ((c = *p ^ 0x80) >= 0x40) return kReplacement;
    value = (value << 6) | c;
    *cursor = ++p;
    if (value < 0x80) return kReplacement;  // overlong
    return value;
}

void append(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace platform::utf8

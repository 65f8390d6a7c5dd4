#include "platform/name_order.h"

#include <string.h>

#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

// The upper case of the scripts file names are most often written in: Latin
// (ASCII, Latin-1, Latin Extended-A), Greek and Cyrillic. Windows' own table
// covers every script; names in others keep their case here.
char16_t upperCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;  // not the division sign
    if (c == 0xFF) return 0x178;
    if (c == 0x131) return u'I';  // dotless i
    if (c >= 0x100 && c <= 0x17E) {
        // Pairs of capital and small letter; the small one is odd in the
        // first and third run, even in the second and the fourth.
        bool oddSmall = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
        bool evenSmall = (c >= 0x139 && c <= 0x148) || c >= 0x179;
        if ((oddSmall && (c & 1)) || (evenSmall && !(c & 1))) return c - 1;
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? 0x3A3 : c - 0x20;  // final sigma is sigma
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

}  // namespace

std::u16string windowsNameKey(const char* name) {
    size_t length = strlen(name);
    std::u16string key(narrowToWide(name, length, nullptr, 0), u'\0');
    if (!key.empty()) narrowToWide(name, length, reinterpret_cast<uint16_t*>(key.data()), key.size());
    for (char16_t& c : key) c = upperCase(c);
    return key;
}

int compareNamesAsWindows(const char* a, const char* b) {
    int order = windowsNameKey(a).compare(windowsNameKey(b));
    return order != 0 ? order : strcmp(a, b);
}

}  // namespace platform

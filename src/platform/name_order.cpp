#include "platform/name_order.h"

#include <stdlib.h>
#include <string.h>

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

size_t windowsNameKey(const char* name, char16_t* key, size_t cap) {
    if (cap == 0) return 0;  // narrowToWide would measure
    size_t length = narrowToWide(name, strlen(name), reinterpret_cast<uint16_t*>(key), cap);
    for (size_t i = 0; i < length; ++i) key[i] = upperCase(key[i]);
    return length;
}

int compareNamesAsWindows(const char* a, const char* b) {
    const size_t lengthA = narrowToWide(a, strlen(a), nullptr, 0), lengthB = narrowToWide(b, strlen(b), nullptr, 0);
    auto* keys = static_cast<char16_t*>(malloc((lengthA + lengthB + 1) * sizeof(char16_t)));
    if (keys == nullptr) abort();
    char16_t* keyB = keys + lengthA;
    windowsNameKey(a, keys, lengthA);
    windowsNameKey(b, keyB, lengthB);
    int order = 0;
    for (size_t i = 0; order == 0 && i < lengthA && i < lengthB; ++i)
        if (keys[i] != keyB[i]) order = keys[i] < keyB[i] ? -1 : 1;
    if (order == 0 && lengthA != lengthB) order = lengthA < lengthB ? -1 : 1;
    free(keys);
    return order != 0 ? order : strcmp(a, b);
}

}  // namespace platform

// Main-class decoding: decodeMainClass against the rule written out plainly
// (hex pairs, at most 255, a lone last digit ignored, XOR with the 17-byte
// key, the name ends at its first zero byte, a name cut at the limit ends on
// a whole UTF-8 character), and the round trip through the
// packer's scrambling for every name the packer accepts.
#include <string>

#include "core/config.h"
#include "core/settings_table.h"
#include "fuzz_check.h"
#include "pack.h"

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 55;
}

std::string model(const std::string& text) {
    std::string name;
    for (size_t k = 0; k < text.size() / 2 && k < 255; ++k) {
        unsigned char b = static_cast<unsigned char>((16 * digit(text[2 * k]) + digit(text[2 * k + 1])) & 0xFF);
        b ^= kMainClassKey[k % 17];
        if (b == 0) break;
        name += char(b);
    }
    // A name cut at 255 bytes loses a last character whose bytes are not all there.
    if (text.size() / 2 > 255) {
        for (size_t back = 1; back <= 4 && back <= name.size(); ++back) {
            unsigned char c = static_cast<unsigned char>(name[name.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            size_t bytes = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (bytes > back) name.resize(name.size() - back);
            break;
        }
    }
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    FUZZ_CHECK(model(text) == decodeMainClass(text.c_str()));

    // The same bytes as a class name: what the packer stores decodes back.
    try {
        std::string stored = pack::scrambleMainClass(text);
        FUZZ_CHECK(stored.size() == 2 * text.size());
        FUZZ_CHECK(text == decodeMainClass(stored.c_str()));
    } catch (const pack::PackError&) {
        FUZZ_CHECK(text.size() > 255);
    }
    return 0;
}

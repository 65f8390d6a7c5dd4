// UTF-8 to UTF-16 (platform::narrowToWide) against a model of the rule the
// Windows side follows, written from the well-formed byte ranges: a lead
// byte with too few bytes after it swallows the rest; otherwise a malformed
// sequence gives U+FFFD for its lead byte and the bytes after it that were
// still continuation bytes, up to where the value proved overlong, a
// surrogate or beyond U+10FFFF.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

std::vector<uint16_t> model(const uint8_t* s, size_t n) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < n;) {
        uint8_t lead = s[i];
        size_t need = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2
                                                                     : lead >= 0xF0 && lead <= 0xF4 ? 3 : 99;
        if (need == 0) {
            points.push_back(lead);
            ++i;
            continue;
        }
        if (need == 99) {
            points.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (n - i - 1 < need) {
            points.push_back(0xFFFD);
            break;
        }
        size_t good = 1;  // bytes that form the character so far
        bool valid = false;
        if (continuation(s[i + 1])) {
            uint8_t b2 = s[i + 1];
            bool badSecond = (lead == 0xE0 && b2 < 0xA0) || (lead == 0xED && b2 >= 0xA0) ||
                             (lead == 0xF0 && b2 < 0x90) || (lead == 0xF4 && b2 >= 0x90);
            good = 2;
            if (need == 1) {
                valid = true;
            } else if (!badSecond && continuation(s[i + 2])) {
                good = 3;
                if (need == 2) valid = true;
                else if (continuation(s[i + 3])) good = 4, valid = true;
            }
        }
        if (valid) {
            uint32_t c = lead & (need == 1 ? 0x1F : need == 2 ? 0x0F : 0x07);
            for (size_t k = 1; k <= need; ++k) c = (c << 6) | (s[i + k] & 0x3F);
            points.push_back(c);
        } else {
            points.push_back(0xFFFD);
        }
        i += good;
    }
    std::vector<uint16_t> units;
    for (uint32_t c : points) {
        if (c >= 0x10000) {
            units.push_back(uint16_t(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(uint16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(uint16_t(c));
        }
    }
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint16_t> expected = model(data, size);
    const char* text = reinterpret_cast<const char*>(data);
    size_t measured = platform::narrowToWide(text, size, nullptr, 0);
    FUZZ_CHECK(measured == expected.size());
    std::vector<uint16_t> out(expected.size() + 1, 0xAAAA);
    if (!expected.empty()) {
        FUZZ_CHECK(platform::narrowToWide(text, size, out.data(), expected.size()) == expected.size());
        FUZZ_CHECK(std::memcmp(out.data(), expected.data(), expected.size() * 2) == 0);
        FUZZ_CHECK(out[expected.size()] == 0xAAAA);
        // One unit too few: refused, as Windows refuses.
        FUZZ_CHECK(platform::narrowToWide(text, size, out.data(), expected.size() - 1) == 0 ||
                   expected.size() == 1);
    }
    return 0;
}

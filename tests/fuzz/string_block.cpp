// String-table blocks: the entry walk (stringBlockEntry), LoadStringA's
// conversion with its cut at a whole character (loadStringFromBlock) and the
// message texts with their "\n" escape (messageFromBlock), each against the
// rule written out plainly, on blocks of any size and content.
#include <cstdlib>
#include <string>
#include <vector>

#include "core/config.h"
#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

// The entries that lie whole inside the block, in order.
std::vector<std::u16string> entries(const uint8_t* block, size_t size) {
    std::vector<std::u16string> out;
    size_t at = 0;
    while (out.size() < 16 && at + 2 <= size) {
        size_t length = block[at] | block[at + 1] << 8;
        at += 2;
        if (at + 2 * length > size) break;
        std::u16string text;
        for (size_t i = 0; i < length; ++i) text += char16_t(block[at + 2 * i] | block[at + 2 * i + 1] << 8);
        at += 2 * length;
        out.push_back(text);
    }
    return out;
}

// UTF-16 to UTF-8 one character at a time: a pair makes one character, a
// lone surrogate becomes U+FFFD.
std::vector<std::string> characters(const std::u16string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        out.push_back(utf8Of(c));
    }
    return out;
}

std::string message(const std::u16string& text) {
    std::string narrow;
    for (const std::string& c : characters(text)) narrow += c;
    narrow = narrow.substr(0, narrow.find('\0'));
    std::string out;
    for (size_t i = 0; i < narrow.size(); ++i) {
        if (narrow[i] != '\\') out += narrow[i];
        else if (i + 1 < narrow.size()) out += narrow[i + 1] == 'n' ? std::string("\n") : narrow.substr(i, 2), ++i;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned index = data[0] % 16;
    int cap = 1 + data[1] % 64;
    // The block on the heap at its exact size, so that a read past it shows.
    std::vector<uint8_t> block(data + 2, data + size);
    std::vector<std::u16string> all = entries(block.data(), block.size());
    bool present = index < all.size();

    const uint8_t* units = nullptr;
    size_t count = 0;
    FUZZ_CHECK(platform::stringBlockEntry(block.data(), block.size(), index, &units, &count) == present);
    if (present) FUZZ_CHECK(count == all[index].size());

    std::string loaded;
    if (present)
        for (const std::string& c : characters(all[index])) {
            if (loaded.size() + c.size() > size_t(cap - 1)) break;
            loaded += c;
        }
    std::vector<char> buffer(size_t(cap) + 1, '\x5A');
    int length = platform::loadStringFromBlock(block.data(), block.size(), index, buffer.data(), cap);
    FUZZ_CHECK(length == int(loaded.size()) && std::string(buffer.data(), size_t(length)) == loaded);
    FUZZ_CHECK(buffer[size_t(length)] == '\0' && buffer[size_t(cap)] == '\x5A');

    char* text = messageFromBlock(block.data(), block.size(), index);
    FUZZ_CHECK(text == (present ? message(all[index]) : std::string()));
    std::free(text);
    return 0;
}

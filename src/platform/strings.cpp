// String-table entries, read the same way on every platform: through the
// block's own size, so that an entry whose length runs past its block (or
// follows one that does) reads as absent instead of sending the reader
// beyond the resource.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

bool stringBlockEntry(const uint8_t* block, size_t size, unsigned index, const uint8_t** units, size_t* count) {
    size_t offset = 0;
    for (unsigned entry = 0;; ++entry) {
        if (size - offset < 2) return false;
        size_t length = size_t(block[offset]) | size_t(block[offset + 1]) << 8;
        offset += 2;
        if (length * 2 > size - offset) return false;
        if (entry == index) {
            *units = block + offset;
            *count = length;
            return true;
        }
        offset += length * 2;
    }
}

int loadString(unsigned id, char* buf, int cap) {
    const uint8_t* block = nullptr;
    size_t blockSize = 0;
    if (!findStringBlock(id / 16 + 1, &block, &blockSize)) {
        if (cap > 0) buf[0] = '\0';
        return 0;
    }
    return loadStringFromBlock(block, blockSize, id % 16, buf, cap);
}

int loadStringFromBlock(const uint8_t* block, size_t size, unsigned index, char* buf, int cap) {
    if (cap <= 0) return 0;
    buf[0] = '\0';
    const uint8_t* bytes = nullptr;
    size_t units = 0;
    if (!stringBlockEntry(block, size, index, &bytes, &units)) return 0;

    // Convert character by character so that a text longer than the buffer
    // is cut after the last whole character that fits, as LoadStringA does
    // with a multi-byte code page.
    size_t written = 0;
    size_t room = size_t(cap) - 1;
    auto unit = [&](size_t i) { return uint16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8)); };
    for (size_t i = 0; i < units;) {
        uint16_t wide[2] = {unit(i), 0};
        size_t step = 1;
        if (wide[0] >= 0xD800 && wide[0] <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            wide[1] = unit(i + 1);
            step = 2;
        }
        char narrow[8];
        size_t n = wideToNarrow(wide, step, narrow, sizeof(narrow));
        if (n == 0 || n > room - written) break;
        std::memcpy(buf + written, narrow, n);
        written += n;
        i += step;
    }
    buf[written] = '\0';
    return int(written);
}

}  // namespace platform

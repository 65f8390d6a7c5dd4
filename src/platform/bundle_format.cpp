// Reading the resource bundle: shared by the POSIX launcher, which takes its
// resources from it, and the packer, which strips an old bundle from a stub.
#include "platform/bundle_format.h"

#include <cstring>

namespace bundle {

namespace {
uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
}  // namespace

bool hasTrailer(const uint8_t* trailer) {
    return std::memcmp(trailer + 8, kBundleMagic, sizeof(kBundleMagic)) == 0;
}

bool bundleOffset(const uint8_t* trailer, uint64_t fileSize, uint64_t* offset) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= uint64_t(trailer[i]) << (8 * i);
    if (fileSize < kTrailerSize || value < kMinimumImageSize || value > fileSize - kTrailerSize) return false;
    *offset = value;
    return true;
}

bool parseEntries(const uint8_t* data, size_t size, std::vector<Entry>* entries) {
    entries->clear();
    if (size < 4) return false;
    uint32_t count = readU32(data);
    if (count > (size - 4) / 16) return false;
    entries->reserve(count);
    size_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 16) break;
        Entry e{readU32(data + at), readU32(data + at + 4), readU32(data + at + 8), nullptr, readU32(data + at + 12)};
        at += 16;
        if (e.size > size - at) break;
        e.data = data + at;
        at += e.size;
        entries->push_back(e);
    }
    // A count one short, a shrunk entry or bytes after the last one: the
    // bundle is not what the packer wrote.
    if (entries->size() != count || at != size) {
        entries->clear();
        return false;
    }
    return true;
}

}  // namespace bundle

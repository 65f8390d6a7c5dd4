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

bool walkEntries(uint64_t bundleSize, ReadBundleBytes read, void* context, std::vector<EntryInfo>* entries) {
    entries->clear();
    uint8_t header[16];
    if (bundleSize < 4 || !read(context, 0, header, 4)) return false;
    uint32_t count = readU32(header);
    if (count > (bundleSize - 4) / 16) return false;
    entries->reserve(count);
    uint64_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (bundleSize - at < 16 || !read(context, at, header, 16)) break;
        at += 16;
        EntryInfo e{readU32(header), readU32(header + 4), readU32(header + 8), at, readU32(header + 12)};
        if (e.size > bundleSize - at) break;
        at += e.size;
        entries->push_back(e);
    }
    // A count one short, a shrunk entry or bytes after the last one: the
    // bundle is not what the packer wrote.
    if (entries->size() != count || at != bundleSize) {
        entries->clear();
        return false;
    }
    return true;
}

namespace {
struct Memory {
    const uint8_t* data;
    size_t size;
};
bool readMemory(void* context, uint64_t offset, void* out, size_t size) {
    const Memory* memory = static_cast<const Memory*>(context);
    if (offset > memory->size || size > memory->size - offset) return false;
    std::memcpy(out, memory->data + offset, size);
    return true;
}
}  // namespace

bool parseEntries(const uint8_t* data, size_t size, std::vector<Entry>* entries) {
    entries->clear();
    Memory memory{data, size};
    std::vector<EntryInfo> found;
    if (!walkEntries(size, readMemory, &memory, &found)) return false;
    for (const EntryInfo& e : found) entries->push_back(Entry{e.type, e.id, e.language, data + e.dataOffset, size_t(e.size)});
    return true;
}

}  // namespace bundle

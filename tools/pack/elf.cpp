// ELF stubs: the resources travel in a bundle appended to the executable
// (platform/bundle_format.h), which the POSIX launcher reads back.
#include <cstring>

#include "pack.h"
#include "platform/bundle_format.h"

namespace pack {

bool isElfImage(const Bytes& image) {
    if (image.size() < 64 || std::memcmp(image.data(), "\x7F" "ELF", 4) != 0) return false;
    if (image[4] != 1 && image[4] != 2) return false;  // 32 or 64 bit
    if (image[5] != 1) return false;                    // little-endian: the bundle is too
    uint16_t type = uint16_t(image[16] | (image[17] << 8));
    return type == 2 || type == 3;  // ET_EXEC, or ET_DYN for position-independent executables
}

Bytes stripBundle(const Bytes& image) {
    size_t size = image.size();
    if (size < bundle::kTrailerSize ||
        std::memcmp(&image[size - 8], bundle::kBundleMagic, sizeof(bundle::kBundleMagic)) != 0)
        return image;
    uint64_t offset = 0;
    for (int i = 0; i < 8; ++i) offset |= uint64_t(image[size - 16 + i]) << (8 * i);
    if (offset > size - bundle::kTrailerSize || offset < 64)
        throw PackError(1, "stub carries a damaged resource bundle");
    return Bytes(image.begin(), image.begin() + size_t(offset));
}

std::vector<Resource> readBundle(const Bytes& image) {
    Bytes elf = stripBundle(image);
    std::vector<Resource> resources;
    if (elf.size() == image.size()) return resources;
    size_t at = elf.size(), end = image.size() - bundle::kTrailerSize;
    auto u32 = [&](size_t offset) {
        return uint32_t(image[offset]) | uint32_t(image[offset + 1]) << 8 | uint32_t(image[offset + 2]) << 16 |
               uint32_t(image[offset + 3]) << 24;
    };
    if (end - at < 4) throw PackError(1, "stub carries a damaged resource bundle");
    uint32_t count = u32(at);
    at += 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (end - at < 16 || u32(at + 12) > end - at - 16) throw PackError(1, "stub carries a damaged resource bundle");
        Resource r;
        r.type = numericId(u32(at));
        r.name = numericId(u32(at + 4));
        r.language = u32(at + 8);
        r.data.assign(image.begin() + ptrdiff_t(at + 16), image.begin() + ptrdiff_t(at + 16 + u32(at + 12)));
        at += 16 + r.data.size();
        resources.push_back(std::move(r));
    }
    return resources;
}

Bytes buildBundle(const std::vector<Resource>& resources, uint64_t imageSize) {
    Bytes out;
    putU32(out, uint32_t(resources.size()));
    for (const Resource& r : resources) {
        if (r.type.named || r.name.named) throw PackError(1, "a bundle holds numbered resources only");
        putU32(out, r.type.number);
        putU32(out, r.name.number);
        putU32(out, r.language);
        putU32(out, uint32_t(r.data.size()));
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    putU64(out, imageSize);
    out.insert(out.end(), bundle::kBundleMagic, bundle::kBundleMagic + sizeof(bundle::kBundleMagic));
    return out;
}

}  // namespace pack

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
    if (size < bundle::kTrailerSize || !bundle::hasTrailer(&image[size - bundle::kTrailerSize])) return image;
    // The launcher would not read a damaged bundle; neither is it cut off
    // blindly here, at an offset that may point anywhere.
    uint64_t offset = 0;
    std::vector<bundle::Entry> entries;
    if (!bundle::bundleOffset(&image[size - bundle::kTrailerSize], size, &offset) ||
        !bundle::parseEntries(image.data() + offset, size - bundle::kTrailerSize - size_t(offset), &entries))
        throw PackError(1, "stub carries a damaged resource bundle");
    return Bytes(image.begin(), image.begin() + size_t(offset));
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

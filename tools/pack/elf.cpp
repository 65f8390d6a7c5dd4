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

std::vector<Resource> readBundle(const Bytes& image) {
    Bytes elf = stripBundle(image);  // refuses a damaged bundle
    std::vector<Resource> resources;
    if (elf.size() == image.size()) return resources;
    std::vector<bundle::Entry> entries;
    bundle::parseEntries(image.data() + elf.size(), image.size() - bundle::kTrailerSize - elf.size(), &entries);
    for (const bundle::Entry& e : entries) {
        Resource r;
        r.type = numericId(e.type);
        r.name = numericId(e.id);
        r.language = e.language;
        r.data.assign(e.data, e.data + e.size);
        resources.push_back(std::move(r));
    }
    return resources;
}

namespace {

uint64_t readLe(const Bytes& b, uint64_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(b[size_t(at) + i]) << (8 * i);
    return v;
}

[[noreturn]] void invalidElf(const std::string& what) {
    throw PackError(1, "stub is not a valid ELF executable: " + what);
}

// True when `count` records of `size` bytes at `offset` lie inside the file.
bool tableFits(uint64_t offset, uint64_t count, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && count <= (fileSize - offset) / size;
}

}  // namespace

void checkElfImage(const Bytes& image) {
    if (!isElfImage(image)) invalidElf("no ELF header");
    const bool wide = image[4] == 2;  // 64-bit
    const uint64_t size = image.size();
    if (image[6] != 1) invalidElf("unknown ELF version");
    // Field positions of the ELF header and of the program and section
    // headers in each class (offset, width).
    const uint64_t phoff = readLe(image, wide ? 32 : 28, wide ? 8 : 4);
    const uint64_t shoff = readLe(image, wide ? 40 : 32, wide ? 8 : 4);
    const uint64_t ehsize = readLe(image, wide ? 52 : 40, 2);
    const uint64_t phentsize = readLe(image, wide ? 54 : 42, 2), phnum = readLe(image, wide ? 56 : 44, 2);
    const uint64_t shentsize = readLe(image, wide ? 58 : 46, 2), shnum = readLe(image, wide ? 60 : 48, 2);
    if (ehsize != (wide ? 64u : 52u)) invalidElf("bad header size");
    if (phnum == 0 || phentsize != (wide ? 56u : 32u) || !tableFits(phoff, phnum, phentsize, size))
        invalidElf("program headers missing or outside the file");
    for (uint64_t i = 0; i < phnum; ++i) {
        uint64_t h = phoff + i * phentsize;
        uint64_t offset = readLe(image, h + (wide ? 8 : 4), wide ? 8 : 4);
        uint64_t fileSize = readLe(image, h + (wide ? 32 : 16), wide ? 8 : 4);
        if (offset > size || fileSize > size - offset) invalidElf("a segment lies outside the file");
    }
    if (shnum != 0) {
        if (shentsize != (wide ? 64u : 40u) || !tableFits(shoff, shnum, shentsize, size))
            invalidElf("section headers outside the file");
        for (uint64_t i = 0; i < shnum; ++i) {
            uint64_t h = shoff + i * shentsize;
            uint64_t type = readLe(image, h + 4, 4);
            uint64_t offset = readLe(image, h + (wide ? 24 : 16), wide ? 8 : 4);
            uint64_t length = readLe(image, h + (wide ? 32 : 20), wide ? 8 : 4);
            if (type != 8 /* SHT_NOBITS */ && (offset > size || length > size - offset))
                invalidElf("a section lies outside the file");
        }
    }
}

void appendBundle(Bytes& image, const std::vector<Resource>& resources) {
    uint64_t imageSize = image.size();
    putU32(image, uint32_t(resources.size()));
    for (const Resource& r : resources) {
        if (r.type.named || r.name.named) throw PackError(1, "a bundle holds numbered resources only");
        putU32(image, r.type.number);
        putU32(image, r.name.number);
        putU32(image, r.language);
        putU32(image, uint32_t(r.data.size()));
        image.insert(image.end(), r.data.begin(), r.data.end());
    }
    putU64(image, imageSize);
    image.insert(image.end(), bundle::kBundleMagic, bundle::kBundleMagic + sizeof(bundle::kBundleMagic));
}

Bytes buildBundle(const std::vector<Resource>& resources, uint64_t imageSize) {
    Bytes out;
    appendBundle(out, resources);
    // The trailer names the offset of the image the bundle is meant for.
    for (int i = 0; i < 8; ++i) out[out.size() - 16 + i] = uint8_t(imageSize >> (8 * i));
    return out;
}

}  // namespace pack

// Layout of the resource bundle that the packer appends to an ELF launcher
// (the POSIX stand-in for PE resources). Little-endian throughout.
//
//   bundle:   u32 entryCount, then entryCount entries
//   entry:    u32 type, u32 id, u32 language, u32 size, size bytes of data
//   trailer:  u64 bundleOffset (file offset of the bundle), 8 bytes kBundleMagic
//
// The trailer is the last 16 bytes of the file. Types and ids are those of
// the PE resources: RT_STRING blocks keep their 16-entries-per-block UTF-16
// layout, RT_RCDATA 1 holds the payload.
//
// A bundle is taken whole or not at all: it starts after an ELF header's
// worth of image, and its entries end exactly where the trailer begins.
// The launcher and the packer read it with the same functions below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bundle {

constexpr char kBundleMagic[8] = {'V', 'T', 'R', 'L', 'B', 'N', 'D', '1'};
constexpr uint32_t kTrailerSize = 16;
constexpr uint32_t kTypeString = 6;   // RT_STRING
constexpr uint32_t kTypeRcData = 10;  // RT_RCDATA
constexpr uint32_t kLanguageNeutral = 0;
constexpr uint64_t kMinimumImageSize = 64;  // an ELF header

// An entry as the bundle's directory gives it: where its data lies, counted
// from the start of the bundle.
struct EntryInfo {
    uint32_t type, id, language;
    uint64_t dataOffset;
    uint64_t size;
};
// Reads `size` bytes at `offset` of the bundle into `out`; false when it
// cannot.
using ReadBundleBytes = bool (*)(void* context, uint64_t offset, void* out, size_t size);

// True when the last kTrailerSize bytes of a file hold the magic.
bool hasTrailer(const uint8_t* trailer);
// The bundle's offset from a trailer that hasTrailer accepted, for a file of
// fileSize bytes; false when it does not lie between the image's minimum
// size and the trailer.
bool bundleOffset(const uint8_t* trailer, uint64_t fileSize, uint64_t* offset);
// Walks the directory of a bundle of bundleSize bytes (those between its
// offset and the trailer), reading through `read`. False, with no entries,
// unless the count and every entry fit and the last entry ends exactly at
// the end: a bundle is taken whole or not at all.
bool walkEntries(uint64_t bundleSize, ReadBundleBytes read, void* context, std::vector<EntryInfo>* entries);

// The same over a bundle held in memory, with each entry's data in place.
struct Entry {
    uint32_t type, id, language;
    const uint8_t* data;  // points into the parsed bytes
    size_t size;
};
bool parseEntries(const uint8_t* data, size_t size, std::vector<Entry>* entries);

}  // namespace bundle

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
#pragma once

#include <cstdint>

namespace bundle {

constexpr char kBundleMagic[8] = {'V', 'T', 'R', 'L', 'B', 'N', 'D', '1'};
constexpr uint32_t kTrailerSize = 16;
constexpr uint32_t kTypeString = 6;   // RT_STRING
constexpr uint32_t kTypeRcData = 10;  // RT_RCDATA
constexpr uint32_t kLanguageNeutral = 0;

}  // namespace bundle

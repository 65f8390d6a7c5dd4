// The payload resource: the archives the packer stored in the executable,
// one after another (u32 count; per entry a zero-terminated name, the u64
// FILETIME, the u32 size and the bytes; little-endian, no alignment).
//
// parsePayload checks the whole resource before anyone acts on it: every
// count, name, size and offset against the resource's real size, and every
// name against the rule that keeps it inside the extraction folder. Only a
// Valid record carries entries, so the code that writes or deletes files
// never sees raw bytes. It is a pure function over (data, size): the
// launcher, the cleanup child, the packer's --list and a fuzzer call it.
#pragma once

#include <cstddef>
#include <cstdint>

struct PayloadEntry {
    const char* name;       // zero-terminated inside the payload
    uint64_t fileTime;      // last-write time: 100 ns units since 1601-01-01 UTC
    const uint8_t* data;    // inside the payload
    uint32_t size;
};

enum class PayloadStatus {
    Absent,   // no resource, or fewer than 2 bytes: nothing to unpack
    Valid,
    Damaged,  // a count, name or size does not fit the resource
    BadName,  // well formed, but a name would leave the extraction folder
};

struct PayloadRecord {
    PayloadStatus status;
    int32_t count;          // entries of a Valid record, 0 otherwise
    PayloadEntry* entries;  // heap array of count entries; freePayloadRecord releases it
    const char* badName;    // BadName: the first refused name (inside the payload)
};

// More entries than any application carries; bounds the entry array.
constexpr int32_t kMaxPayloadEntries = 65536;

PayloadRecord parsePayload(const uint8_t* data, size_t size);
void freePayloadRecord(PayloadRecord* record);

// A name that names a file inside a folder on every platform: not empty,
// not "." or "..", and without '/', '\\' or ':' (so neither absolute nor
// relative to a drive).
bool isPlainFileName(const char* name);

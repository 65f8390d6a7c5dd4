// The payload resource: the archives the packer stored in the executable,
// one after another (u32 count; per entry a zero-terminated name, the u64
// FILETIME, the u32 size and the bytes; little-endian, no alignment).
//
// The payload is checked whole before anyone acts on it: every count, name,
// size and offset against the resource's real size, every name against the
// rule that keeps it a plain file of its own on every platform, and the
// names against each other as Windows compares them. Only a Valid record
// carries entries, so the code that writes or deletes files never sees raw
// bytes. The parser reads only the entries' headers, through a reader, so
// that a payload of many megabytes is never read whole: the launcher reads
// from its executable; the packer's --list and a fuzzer use parsePayload
// over bytes in memory, which runs the same code.
#pragma once

#include <cstddef>
#include <cstdint>

struct PayloadEntry {
    char* name;         // heap copy, owned by the record
    uint64_t fileTime;  // last-write time: 100 ns units since 1601-01-01 UTC
    uint64_t offset;    // of the archive's bytes, from the payload's start
    uint32_t size;
};

enum class PayloadStatus {
    Absent,   // no resource, or fewer than 2 bytes: nothing to unpack
    Valid,
    Damaged,  // a count, name or size does not fit the resource, or two
              // names are one file on Windows (equal once upper-cased)
    BadName,  // well formed, but a name fails fileNameProblem
};

struct PayloadRecord {
    PayloadStatus status;
    int32_t count;          // entries of a Valid record, 0 otherwise
    PayloadEntry* entries;  // heap array of count entries; freePayloadRecord releases it
    char* badName;          // BadName: a heap copy of the first refused name
};

// More entries than any application carries; bounds the entry array.
constexpr int32_t kMaxPayloadEntries = 65536;
// The longest name the packer writes (a file name's limit); a longer one
// counts as damage.
constexpr size_t kMaxPayloadNameBytes = 255;

// Copies size bytes from offset of the payload into buffer; false when it
// cannot (the parser has checked that the range lies inside the payload).
using PayloadReader = bool (*)(void* context, uint64_t offset, void* buffer, size_t size);

PayloadRecord parsePayloadWith(PayloadReader read, void* context, uint64_t size);
// The same over a payload in memory.
PayloadRecord parsePayload(const uint8_t* data, size_t size);
void freePayloadRecord(PayloadRecord* record);

// Why a name cannot name an archive of its own inside a folder, on Windows
// as on POSIX, or nullptr when it can. The launcher and the packer share
// this rule. Refused: an empty name, "." and ".."; a path separator or a
// drive's ':'; what a Windows file name cannot hold ('*', '?', '<', '>',
// '|', '"', control characters); what would change a class path or the VM's
// options (';' separates entries, '%' starts a placeholder); a last dot or
// blank, which Windows drops (so "lib.jar." is "lib.jar" and "..." the
// folder itself); a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9 and
// their superscript digits, CONIN$, CONOUT$), in any case and with any
// extension; and bytes that are no UTF-8 (two such names could become one).
const char* fileNameProblem(const char* name);
// fileNameProblem(name) == nullptr.
bool isPlainFileName(const char* name);

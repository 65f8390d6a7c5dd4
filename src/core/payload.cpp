#include "core/payload.h"

#include <cstdlib>
#include <cstring>

namespace {

// The smallest entry: an empty name's terminator, the time and the size.
constexpr size_t kSmallestEntry = 1 + 8 + 4;

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) | uint64_t(readU32(p + 4)) << 32; }

PayloadRecord refused(PayloadStatus status, PayloadEntry* entries, const char* badName = nullptr) {
    std::free(entries);
    return PayloadRecord{status, 0, nullptr, badName};
}

}  // namespace

bool isPlainFileName(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "/\\:") == nullptr;
}

PayloadRecord parsePayload(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 2) return PayloadRecord{PayloadStatus::Absent, 0, nullptr, nullptr};
    if (size < 4) return refused(PayloadStatus::Damaged, nullptr);
    int32_t count = static_cast<int32_t>(readU32(data));
    if (count < 0 || count > kMaxPayloadEntries || size_t(count) > (size - 4) / kSmallestEntry)
        return refused(PayloadStatus::Damaged, nullptr);

    PayloadEntry* entries = nullptr;
    if (count > 0) {
        entries = static_cast<PayloadEntry*>(std::malloc(sizeof(PayloadEntry) * size_t(count)));
        if (entries == nullptr) std::abort();
    }
    const char* badName = nullptr;
    size_t at = 4;
    for (int32_t i = 0; i < count; ++i) {
        // The name must end inside the resource, and the fixed fields and
        // the data must follow it there too.
        const void* end = std::memchr(data + at, 0, size - at);
        if (end == nullptr) return refused(PayloadStatus::Damaged, entries);
        PayloadEntry& entry = entries[i];
        entry.name = reinterpret_cast<const char*>(data + at);
        at = size_t(static_cast<const uint8_t*>(end) - data) + 1;
        if (size - at < 12) return refused(PayloadStatus::Damaged, entries);
        entry.fileTime = readU64(data + at);
        entry.size = readU32(data + at + 8);
        at += 12;
        if (entry.size > size - at) return refused(PayloadStatus::Damaged, entries);
        entry.data = data + at;
        at += entry.size;
        if (badName == nullptr && !isPlainFileName(entry.name)) badName = entry.name;
    }
    // Bytes after the last entry are tolerated: resource data may be padded.
    if (badName != nullptr) return refused(PayloadStatus::BadName, entries, badName);
    return PayloadRecord{PayloadStatus::Valid, count, entries, nullptr};
}

void freePayloadRecord(PayloadRecord* record) {
    std::free(record->entries);
    record->entries = nullptr;
    record->count = 0;
}

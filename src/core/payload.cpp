#include "core/payload.h"

#include <cstdlib>
#include <cstring>

#include "core/text_buffer.h"

namespace {

// The smallest entry: an empty name's terminator, the time and the size.
constexpr uint64_t kSmallestEntry = 1 + 8 + 4;
// What one read of an entry's header takes: the longest name, its
// terminator, the time and the size.
constexpr size_t kHeaderWindow = kMaxPayloadNameBytes + 1 + 8 + 4;

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) | uint64_t(readU32(p + 4)) << 32; }

void freeEntries(PayloadEntry* entries, int32_t count) {
    for (int32_t i = 0; i < count; ++i) std::free(entries[i].name);
    std::free(entries);
}

struct Memory {
    const uint8_t* data;
    size_t size;
};

bool readMemory(void* context, uint64_t offset, void* buffer, size_t size) {
    const Memory* memory = static_cast<const Memory*>(context);
    if (offset > memory->size || size > memory->size - offset) return false;
    std::memcpy(buffer, memory->data + offset, size);
    return true;
}

}  // namespace

bool isPlainFileName(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "/\\:") == nullptr;
}

PayloadRecord parsePayloadWith(PayloadReader read, void* context, uint64_t size) {
    PayloadRecord record{PayloadStatus::Damaged, 0, nullptr, nullptr};
    if (size < 2) {
        record.status = PayloadStatus::Absent;
        return record;
    }
    uint8_t header[kHeaderWindow];
    if (size < 4 || !read(context, 0, header, 4)) return record;
    int32_t count = static_cast<int32_t>(readU32(header));
    if (count < 0 || count > kMaxPayloadEntries || uint64_t(count) > (size - 4) / kSmallestEntry) return record;

    PayloadEntry* entries = nullptr;
    if (count > 0) {
        entries = static_cast<PayloadEntry*>(std::calloc(size_t(count), sizeof(PayloadEntry)));
        if (entries == nullptr) std::abort();
    }
    int32_t parsed = 0;
    uint64_t at = 4;
    for (; parsed < count; ++parsed) {
        // The name must end inside the resource, and the time, the size and
        // the data must follow it there too.
        size_t window = size - at < kHeaderWindow ? size_t(size - at) : kHeaderWindow;
        if (!read(context, at, header, window)) break;
        size_t nameSpace = window < kMaxPayloadNameBytes + 1 ? window : kMaxPayloadNameBytes + 1;
        const void* end = std::memchr(header, 0, nameSpace);
        if (end == nullptr) break;
        size_t nameLength = size_t(static_cast<const uint8_t*>(end) - header);
        if (window - nameLength - 1 < 12) break;
        PayloadEntry& entry = entries[parsed];
        entry.fileTime = readU64(header + nameLength + 1);
        entry.size = readU32(header + nameLength + 9);
        at += nameLength + 13;
        if (entry.size > size - at) break;
        entry.name = duplicateTextRange(reinterpret_cast<const char*>(header), nameLength);
        entry.offset = at;
        at += entry.size;
    }
    if (parsed < count) {
        freeEntries(entries, parsed);
        return record;
    }
    // Bytes after the last entry are tolerated: resource data may be padded.
    for (int32_t i = 0; i < count; ++i) {
        if (!isPlainFileName(entries[i].name)) {
            record.status = PayloadStatus::BadName;
            record.badName = duplicateText(entries[i].name);
            freeEntries(entries, count);
            return record;
        }
    }
    return PayloadRecord{PayloadStatus::Valid, count, entries, nullptr};
}

PayloadRecord parsePayload(const uint8_t* data, size_t size) {
    Memory memory{data, data != nullptr ? size : 0};
    return parsePayloadWith(readMemory, &memory, memory.size);
}

void freePayloadRecord(PayloadRecord* record) {
    freeEntries(record->entries, record->count);
    std::free(record->badName);
    record->entries = nullptr;
    record->badName = nullptr;
    record->count = 0;
}

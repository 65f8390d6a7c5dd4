#include "core/payload.h"

#include <cstdlib>
#include <cstring>

#include "core/text_buffer.h"
#include "platform/name_order.h"
#include "platform/platform.h"

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

// A name as Windows compares it, for finding two names of one file.
struct NameKey {
    const char16_t* units;
    size_t length;
};

int compareNameKeys(const void* a, const void* b) {
    const NameKey& x = *static_cast<const NameKey*>(a);
    const NameKey& y = *static_cast<const NameKey*>(b);
    for (size_t i = 0; i < x.length && i < y.length; ++i)
        if (x.units[i] != y.units[i]) return x.units[i] < y.units[i] ? -1 : 1;
    return x.length < y.length ? -1 : x.length > y.length ? 1 : 0;
}

// True when two of the names are one file on Windows: sorted by their keys,
// equal ones meet.
bool twoNamesOfOneFile(const PayloadEntry* entries, int32_t count) {
    if (count < 2) return false;
    size_t total = 0;
    for (int32_t i = 0; i < count; ++i) total += std::strlen(entries[i].name);  // bytes: at least the units
    auto* units = static_cast<char16_t*>(std::malloc((total + 1) * sizeof(char16_t)));
    auto* keys = static_cast<NameKey*>(std::malloc(size_t(count) * sizeof(NameKey)));
    if (units == nullptr || keys == nullptr) std::abort();
    size_t used = 0;
    for (int32_t i = 0; i < count; ++i) {
        keys[i] = {units + used, platform::windowsNameKey(entries[i].name, units + used, total + 1 - used)};
        used += keys[i].length;
    }
    std::qsort(keys, size_t(count), sizeof(NameKey), compareNameKeys);
    bool twice = false;
    for (int32_t i = 1; i < count && !twice; ++i) twice = compareNameKeys(&keys[i - 1], &keys[i]) == 0;
    std::free(units);
    std::free(keys);
    return twice;
}

// Windows opens a device for these names, whatever follows the first dot
// and whatever blanks end the part before it.
bool isDeviceName(const char* name) {
    size_t base = std::strcspn(name, ".");
    while (base > 0 && name[base - 1] == ' ') --base;
    char upper[8] = {};
    if (base >= sizeof(upper)) return false;
    for (size_t i = 0; i < base; ++i) upper[i] = name[i] >= 'a' && name[i] <= 'z' ? char(name[i] - 32) : name[i];
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (std::strcmp(upper, device) == 0) return true;
    // COM and LPT with a digit, or with a superscript one, two or three.
    if (std::strncmp(upper, "COM", 3) != 0 && std::strncmp(upper, "LPT", 3) != 0) return false;
    const char* port = upper + 3;
    if (base == 4) return port[0] >= '0' && port[0] <= '9';
    return base == 5 && (std::strcmp(port, "\xC2\xB9") == 0 || std::strcmp(port, "\xC2\xB2") == 0 ||
                         std::strcmp(port, "\xC2\xB3") == 0);
}

}  // namespace

const char* fileNameProblem(const char* name) {
    if (name[0] == '\0') return "is empty";
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return "is not a file name";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':') return "holds a path separator or a drive's ':'";
        if (*p < 0x20 || *p == 0x7F || std::strchr("\"*?<>|", *p) != nullptr)
            return "holds a character that Windows does not take in a file name";
        if (*p == ';' || *p == '%') return "holds ';' or '%', which would change the class path";
    }
    const size_t length = std::strlen(name);
    if (length > kMaxPayloadNameBytes) return "is longer than 255 bytes";
    if (name[length - 1] == '.' || name[length - 1] == ' ') return "ends with a dot or a blank, which Windows drops";
    if (isDeviceName(name)) return "is a device name on Windows";
    // Bytes that are no UTF-8 become U+FFFD: two such names would be one.
    char16_t key[kMaxPayloadNameBytes];
    const size_t units = platform::windowsNameKey(name, key, kMaxPayloadNameBytes);
    for (size_t i = 0; i < units; ++i) {
        if (key[i] == 0xFFFD) return "is not UTF-8";
        if (key[i] >= 0x80 && key[i] <= 0x9F) return "holds a character that Windows does not take in a file name";
    }
    return nullptr;
}

bool isPlainFileName(const char* name) { return fileNameProblem(name) == nullptr; }

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
    // Two names of one file on Windows: one archive would hold the other's
    // bytes, and the up-to-date test would rewrite it at every start.
    if (twoNamesOfOneFile(entries, count)) {
        freeEntries(entries, count);
        return record;
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

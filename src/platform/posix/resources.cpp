// POSIX side: resources come from the bundle that vantrel-pack appends to the
// executable (platform/bundle_format.h). The executable is mapped once, on
// first use, and kept for the life of the process, like a PE image's
// resources: only the pages that are read cost memory, so a payload of many
// megabytes costs nothing when its archives are already unpacked. Anything
// that does not add up (a short file, a trailer or an entry pointing outside
// the bundle) makes the whole bundle absent.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/bundle_format.h"
#include "platform/platform.h"

namespace platform {

namespace {

struct BundleEntry {
    uint32_t type, id, language;
    const uint8_t* data;
    size_t size;
};

struct Bundle {
    const uint8_t* bytes = nullptr;  // inside the mapping, never unmapped: entries point into it
    std::vector<BundleEntry> entries;
};

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool readFully(int fd, uint8_t* out, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t n = pread(fd, out, size, offset);
        if (n <= 0) return false;
        out += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

bool parseEntries(Bundle* bundle, size_t size) {
    const uint8_t* p = bundle->bytes;
    if (size < 4) return false;
    uint32_t count = readU32(p);
    if (count > (size - 4) / 16) return false;
    size_t at = 4;
    bundle->entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 16) return false;
        BundleEntry e{readU32(p + at), readU32(p + at + 4), readU32(p + at + 8), nullptr, readU32(p + at + 12)};
        at += 16;
        if (e.size > size - at) return false;
        e.data = p + at;
        at += e.size;
        bundle->entries.push_back(e);
    }
    return true;
}

Bundle loadBundle() {
    Bundle bundle;
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bundle;
    struct stat st;
    uint8_t trailer[bundle::kTrailerSize];
    if (fstat(fd, &st) == 0 && st.st_size >= off_t(bundle::kTrailerSize) &&
        readFully(fd, trailer, sizeof(trailer), st.st_size - off_t(bundle::kTrailerSize)) &&
        std::memcmp(trailer + 8, bundle::kBundleMagic, sizeof(bundle::kBundleMagic)) == 0) {
        uint64_t offset = 0;
        for (int i = 0; i < 8; ++i) offset |= uint64_t(trailer[i]) << (8 * i);
        uint64_t end = uint64_t(st.st_size) - bundle::kTrailerSize;
        if (offset <= end && uint64_t(st.st_size) <= SIZE_MAX) {
            void* image = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (image != MAP_FAILED) {
                bundle.bytes = static_cast<const uint8_t*>(image) + offset;
                if (!parseEntries(&bundle, size_t(end - offset))) {
                    bundle.entries.clear();
                    bundle.bytes = nullptr;
                    munmap(image, size_t(st.st_size));
                }
            }
        }
    }
    close(fd);
    return bundle;
}

const Bundle& theBundle() {
    static const Bundle bundle = loadBundle();  // initialised once, thread-safe
    return bundle;
}

// FindResourceEx with the neutral language: the neutral entry, else the one
// with the lowest language id (the first in a PE directory).
const BundleEntry* findEntry(uint32_t type, uint32_t id) {
    const BundleEntry* fallback = nullptr;
    for (const BundleEntry& e : theBundle().entries) {
        if (e.type != type || e.id != id) continue;
        if (e.language == bundle::kLanguageNeutral) return &e;
        if (fallback == nullptr || e.language < fallback->language) fallback = &e;
    }
    return fallback;
}

}  // namespace

bool findStringBlock(unsigned block, const uint8_t** data, size_t* size) {
    const BundleEntry* e = findEntry(bundle::kTypeString, block);
    if (e == nullptr) return false;
    *data = e->data;
    *size = e->size;
    return true;
}

bool findPayload(const uint8_t** data, size_t* size) {
    const BundleEntry* e = findEntry(bundle::kTypeRcData, 1);
    if (e == nullptr) return false;
    *data = e->data;
    *size = e->size;
    return true;
}

void releasePayloadPages(const uint8_t* data, size_t size) {
    const BundleEntry* e = findEntry(bundle::kTypeRcData, 1);
    if (e == nullptr || data < e->data || size > e->size || size_t(data - e->data) > e->size - size) return;
    // The mapping is private and never written: dropped pages come back
    // from the file when read again, whatever else they hold.
    uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t first = uintptr_t(data) / page * page;
    uintptr_t last = (uintptr_t(data) + size + page - 1) / page * page;
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

int loadString(unsigned id, char* buf, int cap) {
    if (cap <= 0) return 0;
    buf[0] = '\0';
    const uint8_t* block = nullptr;
    size_t blockSize = 0;
    if (!findStringBlock(id / 16 + 1, &block, &blockSize)) return 0;
    size_t offset = 0;
    size_t units = 0;
    for (unsigned entry = 0;; ++entry) {
        if (blockSize - offset < 2) return 0;
        units = size_t(block[offset]) | size_t(block[offset + 1]) << 8;
        offset += 2;
        if (entry == id % 16) break;
        if (units * 2 > blockSize - offset) return 0;
        offset += units * 2;
    }
    if (units == 0 || units * 2 > blockSize - offset) return 0;

    std::vector<uint16_t> wide(units);
    for (size_t i = 0; i < units; ++i)
        wide[i] = uint16_t(block[offset + 2 * i] | (block[offset + 2 * i + 1] << 8));
    // Convert character by character so that a text longer than the buffer
    // is cut after the last whole character that fits, as LoadStringA does
    // with a multi-byte code page.
    size_t written = 0;
    size_t room = size_t(cap) - 1;
    for (size_t i = 0; i < units;) {
        size_t step = (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < units && wide[i + 1] >= 0xDC00 &&
                       wide[i + 1] <= 0xDFFF)
                          ? 2
                          : 1;
        char bytes[8];
        size_t n = wideToNarrow(&wide[i], step, bytes, sizeof(bytes));
        if (n == 0 || n > room - written) break;
        std::memcpy(buf + written, bytes, n);
        written += n;
        i += step;
    }
    buf[written] = '\0';
    return int(written);
}

}  // namespace platform

// POSIX side: resources come from the bundle that vantrel-pack appends to the
// executable (platform/bundle_format.h). The bundle's directory and string
// blocks are read once, on first use, and kept for the life of the process,
// like a mapped PE image's resources. The payload is not read then: it is
// read in pieces from the executable, which stays open for it, when it is
// unpacked, so that archives already on disk cost nothing. Anything that
// does not add up (a short file, a trailer or an entry pointing outside the
// bundle) makes the whole bundle absent.
#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>
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
    uint64_t fileOffset;  // of the entry's data in the executable
    size_t size;
    uint8_t* data;        // string blocks only: read at start-up, never freed
};

struct Bundle {
    int fd = -1;  // the executable, open while the bundle has a payload
    std::vector<BundleEntry> entries;
};

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool readFully(int fd, void* out, size_t size, uint64_t offset) {
    uint8_t* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        ssize_t n = pread(fd, bytes, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file is shorter than its bundle says
            return false;
        }
        bytes += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool isPayload(const BundleEntry& e) { return e.type == bundle::kTypeRcData && e.id == 1; }

bool readEntries(Bundle* bundle, uint64_t offset, uint64_t size) {
    uint8_t header[16];
    if (size < 4 || !readFully(bundle->fd, header, 4, offset)) return false;
    uint32_t count = readU32(header);
    if (count > (size - 4) / 16) return false;
    uint64_t at = 4;
    bundle->entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 16 || !readFully(bundle->fd, header, 16, offset + at)) return false;
        at += 16;
        BundleEntry e{readU32(header), readU32(header + 4), readU32(header + 8), offset + at, readU32(header + 12),
                      nullptr};
        if (e.size > size - at) return false;
        at += e.size;
        bundle->entries.push_back(e);
        if (e.type != bundle::kTypeString) continue;
        bundle->entries.back().data = static_cast<uint8_t*>(std::malloc(e.size > 0 ? e.size : 1));
        if (bundle->entries.back().data == nullptr || !readFully(bundle->fd, bundle->entries.back().data, e.size,
                                                                 e.fileOffset))
            return false;
    }
    return true;
}

Bundle loadBundle() {
    Bundle bundle;
    bundle.fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (bundle.fd < 0) return bundle;
    struct stat st;
    uint8_t trailer[bundle::kTrailerSize];
    bool loaded = false;
    if (fstat(bundle.fd, &st) == 0 && st.st_size >= off_t(bundle::kTrailerSize) &&
        readFully(bundle.fd, trailer, sizeof(trailer), uint64_t(st.st_size) - bundle::kTrailerSize) &&
        std::memcmp(trailer + 8, bundle::kBundleMagic, sizeof(bundle::kBundleMagic)) == 0) {
        uint64_t offset = 0;
        for (int i = 0; i < 8; ++i) offset |= uint64_t(trailer[i]) << (8 * i);
        uint64_t end = uint64_t(st.st_size) - bundle::kTrailerSize;
        loaded = offset <= end && readEntries(&bundle, offset, end - offset);
    }
    bool keepOpen = loaded;
    if (!loaded) {
        for (BundleEntry& e : bundle.entries) std::free(e.data);
        bundle.entries.clear();
    } else {
        keepOpen = false;
        for (const BundleEntry& e : bundle.entries) keepOpen = keepOpen || isPayload(e);
    }
    if (!keepOpen) {
        close(bundle.fd);
        bundle.fd = -1;
    }
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

bool findPayload(uint64_t* size) {
    const BundleEntry* e = findEntry(bundle::kTypeRcData, 1);
    if (e == nullptr || !isPayload(*e)) return false;
    *size = e->size;
    return true;
}

namespace {
// The payload's range [offset, offset + size) in the executable's file.
const BundleEntry* payloadRange(uint64_t offset, uint64_t size) {
    const BundleEntry* e = findEntry(bundle::kTypeRcData, 1);
    if (e != nullptr && theBundle().fd >= 0 && offset <= e->size && size <= e->size - offset) return e;
    errno = EINVAL;
    return nullptr;
}
}  // namespace

bool readPayload(uint64_t offset, void* buffer, size_t size) {
    const BundleEntry* e = payloadRange(offset, size);
    return e != nullptr && readFully(theBundle().fd, buffer, size, e->fileOffset + offset);
}

bool copyPayloadToFile(OutputFile file, uint64_t offset, uint64_t size) {
    const BundleEntry* e = payloadRange(offset, size);
    if (e == nullptr) return false;
    int out = static_cast<int>(file.handle);
    off_t from = off_t(e->fileOffset + offset);
    // In the kernel, from the page cache to the file: nothing passes
    // through this process's memory.
    while (size > 0) {
        size_t piece = size > (1u << 30) ? (1u << 30) : size_t(size);
        ssize_t n = sendfile(out, theBundle().fd, &from, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS)) break;  // not for these files: copy below
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        size -= uint64_t(n);
    }
    uint8_t buffer[65536];
    while (size > 0) {
        size_t piece = size > sizeof(buffer) ? sizeof(buffer) : size_t(size);
        if (!readFully(theBundle().fd, buffer, piece, uint64_t(from)) || !writeOutputFile(file, buffer, piece))
            return false;
        from += off_t(piece);
        size -= piece;
    }
    return true;
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

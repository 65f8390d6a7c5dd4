// POSIX side: resources come from the bundle that vantrel-pack appends to the
// executable (platform/bundle_format.h). The bundle's directory and string
// blocks are read once, on first use, and kept for the life of the process,
// like a mapped PE image's resources. The payload is not read then: it is
// read in pieces from the executable, which stays open for it, when it is
// unpacked, so that archives already on disk cost nothing. Anything that
// does not add up (a short file, a trailer or an entry pointing outside the
// bundle, entries that do not end exactly at its end) makes the whole bundle
// absent.
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

struct FileRange {
    int fd;
    uint64_t offset;
};

bool readFromFile(void* context, uint64_t offset, void* out, size_t size) {
    const FileRange* range = static_cast<const FileRange*>(context);
    return readFully(range->fd, out, size, range->offset + offset);
}

bool readEntries(Bundle* bundle, uint64_t offset, uint64_t size) {
    FileRange range{bundle->fd, offset};
    std::vector<bundle::EntryInfo> found;
    if (!bundle::walkEntries(size, readFromFile, &range, &found)) return false;
    bundle->entries.reserve(found.size());
    for (const bundle::EntryInfo& info : found) {
        BundleEntry e{info.type, info.id, info.language, offset + info.dataOffset, size_t(info.size), nullptr};
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
        bundle::hasTrailer(trailer)) {
        uint64_t offset = 0;
        uint64_t end = uint64_t(st.st_size) - bundle::kTrailerSize;
        loaded = bundle::bundleOffset(trailer, uint64_t(st.st_size), &offset) &&
                 readEntries(&bundle, offset, end - offset);
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

}  // namespace platform

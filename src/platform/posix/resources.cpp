// POSIX side: resources come from the bundle that vantrel-pack appends to the
// executable (platform/bundle_format.h). The bundle is read once, on first
// use, and kept for the life of the process, like a mapped PE image's
// resources. Anything that does not add up (a short file, a trailer or an
// entry pointing outside the bundle) makes the whole bundle absent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/bundle_format.h"
#include "platform/platform.h"

namespace platform {

namespace {

struct Bundle {
    uint8_t* bytes = nullptr;  // never freed: entries point into it
    std::vector<bundle::Entry> entries;
};

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

Bundle loadBundle() {
    Bundle bundle;
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bundle;
    struct stat st;
    uint8_t trailer[bundle::kTrailerSize];
    uint64_t offset = 0;
    if (fstat(fd, &st) == 0 && st.st_size >= off_t(bundle::kTrailerSize) &&
        readFully(fd, trailer, sizeof(trailer), st.st_size - off_t(bundle::kTrailerSize)) &&
        bundle::hasTrailer(trailer) && bundle::bundleOffset(trailer, uint64_t(st.st_size), &offset)) {
        uint64_t end = uint64_t(st.st_size) - bundle::kTrailerSize;
        if (end - offset <= SIZE_MAX) {
            size_t size = size_t(end - offset);
            bundle.bytes = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
            if (bundle.bytes != nullptr && (!readFully(fd, bundle.bytes, size, off_t(offset)) ||
                                            !bundle::parseEntries(bundle.bytes, size, &bundle.entries))) {
                std::free(bundle.bytes);
                bundle.bytes = nullptr;
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
const bundle::Entry* findEntry(uint32_t type, uint32_t id) {
    const bundle::Entry* fallback = nullptr;
    for (const bundle::Entry& e : theBundle().entries) {
        if (e.type != type || e.id != id) continue;
        if (e.language == bundle::kLanguageNeutral) return &e;
        if (fallback == nullptr || e.language < fallback->language) fallback = &e;
    }
    return fallback;
}

}  // namespace

bool findStringBlock(unsigned block, const uint8_t** data, size_t* size) {
    const bundle::Entry* e = findEntry(bundle::kTypeString, block);
    if (e == nullptr) return false;
    *data = e->data;
    *size = e->size;
    return true;
}

bool findPayload(const uint8_t** data, size_t* size) {
    const bundle::Entry* e = findEntry(bundle::kTypeRcData, 1);
    if (e == nullptr) return false;
    *data = e->data;
    *size = e->size;
    return true;
}

}  // namespace platform

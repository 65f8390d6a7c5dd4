// The payload resource: the archives one after another, each with its plain
// name, FILETIME and size (little-endian, no alignment).
#include "pack.h"

#include <algorithm>

#include "core/payload.h"
#include "platform/name_order.h"

namespace pack {

// The launcher's own rule (core/payload.h), so that whatever the packer
// writes the launcher unpacks, on Windows as on Linux.
void checkArchiveName(const std::string& name) {
    if (name.size() > kMaxPayloadNameBytes)
        throw PackError(1, "archive name \"" + name + "\" is longer than 255 bytes");
    if (const char* problem = fileNameProblem(name.c_str()))
        throw PackError(1, name.empty() ? "an archive needs a file name"
                                        : "archive name \"" + name + "\" is not a plain file name: it " + problem);
}

bool sameArchiveName(const std::string& a, const std::string& b) {
    char16_t x[kMaxPayloadNameBytes], y[kMaxPayloadNameBytes];  // checked names: at most 255 bytes
    size_t n = platform::windowsNameKey(a.c_str(), x, kMaxPayloadNameBytes);
    return n == platform::windowsNameKey(b.c_str(), y, kMaxPayloadNameBytes) && std::equal(x, x + n, y);
}

// One archive's header; its size is patched in once the data is there.
static void appendArchiveHeader(Bytes& out, const std::string& name, uint64_t fileTime, uint32_t size) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    putU64(out, fileTime);
    putU32(out, size);
}

Bytes buildPayload(const std::vector<Archive>& archives) {
    if (archives.empty()) return {};
    uint64_t total = 4;
    for (const Archive& a : archives) total += a.name.size() + 1 + 8 + 4 + a.data.size();
    if (total > kMaxPayloadBytes) throw PackError(1, "the archives together are larger than 2 GB");
    Bytes out;
    out.reserve(size_t(total));
    putU32(out, uint32_t(archives.size()));
    for (const Archive& a : archives) {
        appendArchiveHeader(out, a.name, a.fileTime, uint32_t(a.data.size()));
        out.insert(out.end(), a.data.begin(), a.data.end());
    }
    return out;
}

Bytes buildPayloadFromFiles(const std::vector<std::string>& paths) {
    if (paths.empty()) return {};
    std::vector<std::string> names;
    for (const std::string& path : paths) {
        std::string name = baseName(path);
        checkArchiveName(name);
        for (const std::string& earlier : names)
            if (sameArchiveName(earlier, name))
                throw PackError(1, "two archives are named " + name + "; they would unpack to one file");
        names.push_back(name);
    }
    // A resource's size is 32 bits wide, and the image must still load: the
    // whole payload stays under 2 GB. Each archive is read in pieces
    // straight into it, and refused before it is read when it cannot fit.
    Bytes out;
    putU32(out, uint32_t(paths.size()));
    for (size_t i = 0; i < paths.size(); ++i) {
        appendArchiveHeader(out, names[i], 0, 0);
        size_t dataAt = out.size(), timeAt = dataAt - 12;
        uint64_t room = dataAt < kMaxPayloadBytes ? kMaxPayloadBytes - dataAt : 0;
        appendFile(paths[i], "archive", room, "the archives together are larger than 2 GB", out);
        uint64_t fileTime = fileWriteTime(paths[i]);
        for (int k = 0; k < 8; ++k) out[timeAt + k] = uint8_t(fileTime >> (8 * k));
        uint64_t size = out.size() - dataAt;
        for (int k = 0; k < 4; ++k) out[dataAt - 4 + k] = uint8_t(size >> (8 * k));
    }
    return out;
}

}  // namespace pack

// The payload resource: the archives one after another, each with its plain
// name, FILETIME and size (little-endian, no alignment).
#include "pack.h"

namespace pack {

void checkArchiveName(const std::string& name) {
    if (name.empty()) throw PackError(1, "an archive needs a file name");
    if (name == "." || name == "..") throw PackError(1, "archive name \"" + name + "\" is not a file name");
    if (name.size() > 255) throw PackError(1, "archive name \"" + name + "\" is longer than 255 bytes");
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        // The launcher joins the name to its extraction directory on Windows
        // too, so anything that would leave that directory or that Windows
        // refuses in a file name is out.
        if (c < 0x20 || ch == '/' || ch == '\\' || ch == ':' || ch == '*' || ch == '?' || ch == '"' ||
            ch == '<' || ch == '>' || ch == '|')
            throw PackError(1, "archive name \"" + name + "\" is not a plain file name");
    }
    utf8ToUtf16(name, "archive name \"" + name + "\"");
}

Bytes buildPayload(const std::vector<Archive>& archives) {
    if (archives.empty()) return {};
    uint64_t total = 4;
    for (const Archive& a : archives) {
        if (a.data.size() > 0xFFFFFFFFu) throw PackError(1, "archive " + a.name + " is larger than 4 GB");
        total += a.name.size() + 1 + 8 + 4 + a.data.size();
    }
    // A resource's size is 32 bits wide, and the image must still load.
    if (total > 0x7FFFFFFFu) throw PackError(1, "the archives together are larger than 2 GB");
    Bytes out;
    out.reserve(size_t(total));
    putU32(out, uint32_t(archives.size()));
    for (const Archive& a : archives) {
        out.insert(out.end(), a.name.begin(), a.name.end());
        out.push_back(0);
        putU64(out, a.fileTime);
        putU32(out, uint32_t(a.data.size()));
        out.insert(out.end(), a.data.begin(), a.data.end());
    }
    return out;
}

}  // namespace pack

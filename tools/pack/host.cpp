// What the packer needs from the host system: whole files in and out, file
// times, its own location, all through the platform layer.
#include <cstdio>

#include "pack.h"
#include "platform/platform.h"

namespace pack {

static std::string reason() {
    char text[512];
    platform::systemErrorText(platform::lastError(), text, sizeof(text));
    std::string why(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
    return why;
}

Bytes readFile(const std::string& path, const std::string& what) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw PackError(1, "cannot open " + what + " " + path + ": " + reason());
    Bytes data;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) data.insert(data.end(), chunk, chunk + n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw PackError(1, "cannot read " + what + " " + path);
    return data;
}

std::string baseName(const std::string& path) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i)
        if (platform::isPathSeparator(path[i]) || (path[i] == ':' && platform::pathSeparator() == '\\')) cut = i;
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string directoryOf(const std::string& path) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i)
        if (platform::isPathSeparator(path[i])) cut = i;
    if (cut == std::string::npos) return "";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

bool fileExists(const std::string& path) { return platform::fileKind(path.c_str()) == platform::FileKind::File; }

uint64_t fileWriteTime(const std::string& path) {
    uint64_t fileTime = 0;
    if (!platform::fileWriteTime(path.c_str(), &fileTime))
        throw PackError(1, "cannot read the time of " + path + ": " + reason());
    return fileTime;
}

std::string packerDirectory() {
    char path[4096];
    if (platform::executablePath(path, sizeof(path)) == 0) return "";
    std::string full(path);
    return full.substr(0, full.size() - baseName(full).size());
}

void writeFileAtomically(const std::string& path, const Bytes& data, const std::string& modeFrom) {
    std::string directory = directoryOf(path);
    std::string prefix = (directory.empty() ? std::string() : directory + platform::pathSeparator()) + "." +
                         baseName(path) + ".";
    std::string temporary;
    bool written = false;
    for (int attempt = 0; attempt < 100 && !written; ++attempt) {
        temporary = prefix + std::to_string(platform::currentProcessId()) + "-" + std::to_string(attempt) + ".tmp";
        written = platform::writeNewFile(temporary.c_str(), data.data(), data.size(), modeFrom.c_str());
        // Only a name that is taken is worth another try.
        if (!written && platform::fileKind(temporary.c_str()) == platform::FileKind::Missing) break;
    }
    if (!written) throw PackError(1, "cannot write a file beside " + path + ": " + reason());
    if (!platform::replaceFile(temporary.c_str(), path.c_str())) {
        std::string why = reason();
        std::remove(temporary.c_str());
        throw PackError(1, "cannot replace " + path + ": " + why);
    }
}

}  // namespace pack

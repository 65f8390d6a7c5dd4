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

namespace {

// An input opened for reading: only a regular file, never waiting on a
// FIFO or a device, with errors that say which input and why.
struct OpenedInput {
    platform::InputFile* file = nullptr;
    uint64_t size = 0;
    OpenedInput(const std::string& path, const std::string& what) {
        platform::FileKind kind = platform::FileKind::Missing;
        file = platform::openInputFile(path.c_str(), &kind, &size);
        if (file != nullptr) return;
        if (kind == platform::FileKind::Directory) throw PackError(1, what + " " + path + " is not a file");
        if (kind == platform::FileKind::Other) throw PackError(1, what + " " + path + " is not a regular file");
        if (platform::fileKind(path.c_str()) == platform::FileKind::Missing)
            throw PackError(1, what + " not found: " + path);
        throw PackError(1, "cannot open " + what + " " + path + ": " + reason());
    }
    ~OpenedInput() { platform::closeInputFile(file); }
    OpenedInput(const OpenedInput&) = delete;
    OpenedInput& operator=(const OpenedInput&) = delete;
};

}  // namespace

void appendFile(const std::string& path, const std::string& what, uint64_t limit, const std::string& tooLarge,
                Bytes& out) {
    OpenedInput input(path, what);
    // Refused before anything is read when the file is too large already,
    // and held to the bound while reading should it grow meanwhile.
    if (input.size > limit) throw PackError(1, tooLarge);
    out.reserve(out.size() + size_t(input.size));
    std::vector<uint8_t> piece(kReadPiece);
    uint64_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!platform::readInputFile(input.file, piece.data(), piece.size(), &got))
            throw PackError(1, "cannot read " + what + " " + path + ": " + reason());
        if (got == 0) return;
        total += got;
        if (total > limit) throw PackError(1, tooLarge);
        out.insert(out.end(), piece.begin(), piece.begin() + got);
    }
}

Bytes readFile(const std::string& path, const std::string& what, uint64_t limit) {
    Bytes data;
    appendFile(path, what, limit, what + " " + path + " is larger than " + std::to_string(limit) + " bytes", data);
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

void checkOutputPath(const std::string& path) {
    platform::FileKind kind = platform::fileKind(path.c_str());
    if (kind == platform::FileKind::Directory) throw PackError(1, "output " + path + " is a directory");
    // A device, FIFO or socket under the name is not ours to replace.
    if (kind == platform::FileKind::Other) throw PackError(1, "output " + path + " is not a regular file");
}

void writeFileAtomically(const std::string& path, const Bytes& data, const std::string& modeFrom) {
    checkOutputPath(path);
    std::string directory = directoryOf(path);
    std::string prefix = (directory.empty() ? std::string() : directory + platform::pathSeparator()) + "." +
                         baseName(path) + ".";
    std::string temporary;
    bool written = false;
    uint32_t error = 0;
    for (int attempt = 0; attempt < 100 && !written; ++attempt) {
        temporary = prefix + std::to_string(platform::currentProcessId()) + "-" + std::to_string(attempt) + ".tmp";
        written = platform::writeNewFile(temporary.c_str(), data.data(), data.size(), modeFrom.c_str());
        // The reason is kept before anything else can change it; only a
        // name that is taken is worth another try.
        if (!written) error = platform::lastError();
        if (!written && platform::fileKind(temporary.c_str()) == platform::FileKind::Missing) break;
    }
    if (!written) {
        platform::setLastError(error);
        throw PackError(1, "cannot write a file beside " + path + ": " + reason());
    }
    // Checked again at the last moment: the name must still not be a device.
    try {
        checkOutputPath(path);
    } catch (const PackError&) {
        std::remove(temporary.c_str());
        throw;
    }
    if (!platform::replaceFile(temporary.c_str(), path.c_str())) {
        std::string why = reason();
        std::remove(temporary.c_str());
        throw PackError(1, "cannot replace " + path + ": " + why);
    }
}

}  // namespace pack

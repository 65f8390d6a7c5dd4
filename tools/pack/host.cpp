// What the packer needs from the host system: whole files in and out, file
// times, its own location. Kept apart so that the rest is plain C++.
#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pack.h"

namespace pack {

static std::string reason() { return std::strerror(errno); }

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
#ifdef _WIN32
    size_t cut = path.find_last_of("/\\:");
#else
    size_t cut = path.rfind('/');
#endif
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string directoryOf(const std::string& path) {
#ifdef _WIN32
    size_t cut = path.find_last_of("/\\");
#else
    size_t cut = path.rfind('/');
#endif
    if (cut == std::string::npos) return "";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

#ifdef _WIN32

bool fileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t fileWriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        throw PackError(1, "cannot read the time of " + path);
    return uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

std::string packerDirectory() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) return "";
    std::string full(path, n);
    size_t cut = full.find_last_of("/\\");
    return cut == std::string::npos ? "" : full.substr(0, cut + 1);
}

static bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

static int modeOf(const std::string&) { return 0; }
static void applyMode(int, int) {}
static int currentProcess() { return int(GetCurrentProcessId()); }
static int openNew(const std::string& path) { return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, 0600); }
static std::FILE* streamOf(int fd) { return ::_fdopen(fd, "wb"); }
static void closeDescriptor(int fd) { ::_close(fd); }

#else

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

uint64_t fileWriteTime(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw PackError(1, "cannot read the time of " + path + ": " + reason());
    return fileTimeFromUnix(st.st_mtim.tv_sec, uint32_t(st.st_mtim.tv_nsec));
}

std::string packerDirectory() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "";
    std::string full(path, size_t(n));
    size_t cut = full.rfind('/');
    return cut == std::string::npos ? "" : full.substr(0, cut + 1);
}

static bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

static int modeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : 0755;
}
static void applyMode(int fd, int mode) { (void)::fchmod(fd, mode_t(mode)); }
static int currentProcess() { return int(::getpid()); }
static int openNew(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }
static std::FILE* streamOf(int fd) { return ::fdopen(fd, "wb"); }
static void closeDescriptor(int fd) { ::close(fd); }

#endif

void writeFileAtomically(const std::string& path, const Bytes& data, const std::string& modeFrom) {
    std::string directory = directoryOf(path);
    std::string prefix = (directory.empty() ? std::string() : directory + "/") + "." + baseName(path) + ".";
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = prefix + std::to_string(currentProcess()) + "-" + std::to_string(attempt) + ".tmp";
        fd = openNew(temporary);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw PackError(1, "cannot create a file beside " + path + ": " + reason());
    applyMode(fd, modeOf(modeFrom));
    std::FILE* f = streamOf(fd);
    if (f == nullptr) {
        closeDescriptor(fd);
        std::remove(temporary.c_str());
        throw PackError(1, "cannot write " + temporary);
    }
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    std::string why = ok ? "" : reason();
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        why = reason();
    }
    if (!ok) {
        std::remove(temporary.c_str());
        throw PackError(1, "cannot write " + path + ": " + why);
    }
    if (!replaceFile(temporary, path)) {
        std::string why2 = reason();
        std::remove(temporary.c_str());
        throw PackError(1, "cannot replace " + path + ": " + why2);
    }
}

}  // namespace pack

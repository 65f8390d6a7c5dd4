// POSIX side: code pages (UTF-8), files and directories, libraries, memory
// and clock.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/name_order.h"
#include "platform/posix/utf8.h"

namespace platform {

// ---- Code pages: the 8-bit text is UTF-8 --------------------------------

size_t wideToNarrow(const uint16_t* wide, size_t wideLength, char* out, size_t cap) {
    size_t needed = 0;
    for (size_t i = 0; i < wideLength; ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wideLength && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate cannot be written in UTF-8
        }
        unsigned char bytes[4];
        size_t n;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            n = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            n = 4;
        }
        if (cap != 0) {
            if (needed + n > cap) return 0;  // does not fit: fail as Windows does
            memcpy(out + needed, bytes, n);
        }
        needed += n;
    }
    return needed;
}

size_t narrowToWide(const char* text, size_t length, uint16_t* out, size_t cap) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = s + length;
    size_t needed = 0;
    for (const unsigned char* p = s; p < end;) {
        uint32_t c = utf8::decode(&p, end);
        uint16_t units[2];
        size_t n = 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            units[0] = static_cast<uint16_t>(0xD800 + (c >> 10));
            units[1] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
            n = 2;
        } else {
            units[0] = static_cast<uint16_t>(c);
        }
        if (cap != 0) {
            if (needed + n > cap) return 0;  // does not fit: fail as Windows does
            memcpy(out + needed, units, n * sizeof(uint16_t));
        }
        needed += n;
    }
    return needed;
}

// ---- Files and directories -------------------------------------------------

static FileKind kindOf(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return FileKind::Directory;
    return S_ISREG(info.st_mode) ? FileKind::File : FileKind::Other;
}

FileKind fileKind(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return FileKind::Missing;
    return kindOf(info);
}

struct InputFile {
    int fd;
};

InputFile* openInputFile(const char* path, FileKind* kind, uint64_t* size) {
    *kind = FileKind::Missing;
    // Non-blocking, so that opening a FIFO does not wait for a writer; the
    // kind is then taken from what was opened, not from an earlier look.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO) *kind = FileKind::Other;  // a socket, or a device without its driver
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    *kind = kindOf(info);
    if (*kind != FileKind::File) {
        close(fd);
        return nullptr;
    }
    // Back to blocking reads: a regular file never waits anyway.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *size = static_cast<uint64_t>(info.st_size);
    return new InputFile{fd};
}

bool readInputFile(InputFile* file, void* buf, size_t cap, size_t* got) {
    for (;;) {
        ssize_t n = read(file->fd, buf, cap);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        *got = static_cast<size_t>(n);
        return true;
    }
}

void closeInputFile(InputFile* file) {
    if (file == nullptr) return;
    int saved = errno;
    close(file->fd);
    delete file;
    errno = saved;
}

bool createDirectory(const char* path) { return mkdir(path, 0777) == 0; }

bool sameFile(const char* a, const char* b) {
    if (strcmp(a, b) == 0) return true;
    struct stat first, second;
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool linesEndWithCarriageReturn() { return false; }

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr uint64_t kUnixEpochInFileTimeSeconds = 11644473600ULL;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ULL;

static uint64_t toFileTime(const struct timespec& time) {
    int64_t seconds = static_cast<int64_t>(time.tv_sec);
    if (seconds < -static_cast<int64_t>(kUnixEpochInFileTimeSeconds))
        return 0;  // before 1601: the earliest time a FILETIME holds
    return static_cast<uint64_t>(seconds + static_cast<int64_t>(kUnixEpochInFileTimeSeconds)) *
               kFileTimeUnitsPerSecond +
           static_cast<uint64_t>(time.tv_nsec) / 100;
}

static struct timespec fromFileTime(uint64_t fileTime) {
    struct timespec time;
    time.tv_sec = static_cast<time_t>(static_cast<int64_t>(fileTime / kFileTimeUnitsPerSecond) -
                                      static_cast<int64_t>(kUnixEpochInFileTimeSeconds));
    time.tv_nsec = static_cast<long>(fileTime % kFileTimeUnitsPerSecond) * 100;
    return time;
}

bool fileWriteTime(const char* path, uint64_t* fileTime) {
    struct stat info;
    if (stat(path, &info) != 0) return false;
    *fileTime = toFileTime(info.st_mtim);
    return true;
}

FactsResult fileFacts(const char* path, FileFacts* facts) {
    struct stat info;
    if (lstat(path, &info) != 0) return errno == ENOENT || errno == ENOTDIR ? FactsResult::Missing : FactsResult::Failed;
    facts->size = static_cast<uint64_t>(info.st_size);
    facts->writeTime = toFileTime(info.st_mtim);
    facts->kind = S_ISLNK(info.st_mode) ? FileKind::Other : kindOf(info);
    facts->foreignOwner = info.st_uid != geteuid() && info.st_uid != 0;
    return FactsResult::Found;
}

bool fileInUse(const char*) { return false; }

bool createOutputFile(const char* path, OutputFile* file) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    file->handle = fd;
    return fd >= 0;
}

// Opens a regular file for writing without following a final link and
// without waiting on a FIFO; -1 (Failure::NotRegularFile for anything that
// is not a regular file) otherwise.
static int openRegularForWriting(const char* path, int flags, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags, mode);
    if (fd < 0) {
        // ELOOP: a link; ENXIO: a FIFO without a reader.
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) setFailureReason(Failure::NotRegularFile);
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        setFailureReason(Failure::NotRegularFile);
        return -1;
    }
    int status = fcntl(fd, F_GETFL);
    if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

bool openAppendFile(const char* path, OutputFile* file) {
    file->handle = openRegularForWriting(path, O_APPEND, 0600);
    return file->handle >= 0;
}

bool openLogFile(const char* path, bool keep, OutputFile* file, uint64_t* size) {
    // Created as Java creates a file: 0666 less the umask.
    int fd = openRegularForWriting(path, O_APPEND, 0666);
    file->handle = fd;
    if (fd < 0) return false;
    struct stat info;
    if ((!keep && ftruncate(fd, 0) != 0) || fstat(fd, &info) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool javaOutputName(const char* path, char* name, size_t cap, intptr_t* held) {
    *held = -1;
    std::string folder(path);
    size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    struct stat info;
    const bool shared = stat(folder.c_str(), &info) == 0 && (info.st_mode & S_ISVTX) && (info.st_mode & S_IWOTH);
    int fd = shared ? openRegularForWriting(path, 0, 0644) : -1;
    if (shared && fd < 0) return false;
    int n = shared ? snprintf(name, cap, "/proc/self/fd/%d", fd) : snprintf(name, cap, "%s", path);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        if (fd >= 0) close(fd);
        errno = ENAMETOOLONG;
        return false;
    }
    *held = fd;
    return true;
}

void releaseJavaOutputName(intptr_t held) {
    if (held >= 0) close(static_cast<int>(held));
}

bool writeOutputFile(OutputFile file, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(static_cast<int>(file.handle), bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool setOutputFileTime(OutputFile file, uint64_t fileTime) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1] = fromFileTime(fileTime);
    return futimens(static_cast<int>(file.handle), times) == 0;
}

bool closeOutputFile(OutputFile file) { return close(static_cast<int>(file.handle)) == 0; }

bool deleteFile(const char* path) { return unlink(path) == 0; }

bool removeDirectory(const char* path) { return rmdir(path) == 0; }

bool writeNewFile(const char* path, const void* data, size_t size, const char* permissionsFrom) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat model;
    fchmod(fd, permissionsFrom != nullptr && stat(permissionsFrom, &model) == 0 ? (model.st_mode & 07777) : 0644);
    const char* bytes = static_cast<const char*>(data);
    bool ok = true;
    while (ok && size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        ok = written > 0;
        if (ok) {
            bytes += written;
            size -= static_cast<size_t>(written);
        }
    }
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(path);
        errno = error;
    }
    return ok;
}

bool replaceFile(const char* from, const char* to) { return rename(from, to) == 0; }

struct DirectoryEnum {
    std::vector<DirectoryEntry> entries;
    size_t next;
};

EnumResult openDirectoryEnum(const char* directory, DirectoryEnum** handle, DirectoryEntry* first) {
    *handle = nullptr;
    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR) {
            errno = ENOENT;
            return EnumResult::End;
        }
        return EnumResult::Error;
    }
    auto* state = new DirectoryEnum{{}, 0};
    std::string base(directory);
    if (!base.empty() && base.back() != '/') base += '/';
    errno = 0;
    while (struct dirent* item = readdir(dir)) {
        DirectoryEntry entry;
        size_t n = strlen(item->d_name);
        if (n >= sizeof(entry.name)) continue;  // names beyond the limit are not seen
        memcpy(entry.name, item->d_name, n + 1);
        struct stat info;
        entry.isDirectory = stat((base + item->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        state->entries.push_back(entry);
    }
    int readError = errno;
    closedir(dir);
    if (readError != 0) {
        delete state;
        errno = readError;
        return EnumResult::Error;
    }
    // In NTFS's order, so that a class path comes out alike on every machine
    // and in both lanes.
    std::sort(state->entries.begin(), state->entries.end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
        return compareNamesAsWindows(a.name, b.name) < 0;
    });
    *first = state->entries[0];  // "." is always there
    state->next = 1;
    *handle = state;
    return EnumResult::Entry;
}

EnumResult nextDirectoryEntry(DirectoryEnum* handle, DirectoryEntry* entry) {
    if (handle->next >= handle->entries.size()) return EnumResult::End;
    *entry = handle->entries[handle->next++];
    return EnumResult::Entry;
}

void closeDirectoryEnum(DirectoryEnum* handle) { delete handle; }

struct VisitedDirectories {
    std::vector<std::pair<dev_t, ino_t>> entered;
};

VisitedDirectories* newVisitedDirectories() { return new VisitedDirectories; }

bool enterDirectory(VisitedDirectories* visited, const char* path, bool) {
    struct stat info;
    // One that cannot be read is entered: its enumeration then says why.
    if (stat(path, &info) != 0) return true;
    std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
    if (std::find(visited->entered.begin(), visited->entered.end(), identity) != visited->entered.end()) return false;
    visited->entered.push_back(identity);
    return true;
}

void freeVisitedDirectories(VisitedDirectories* visited) { delete visited; }

// ---- Libraries -------------------------------------------------------------

void* loadLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_GLOBAL); }
void* findSymbol(void* library, const char* name) { return dlsym(library, name); }
void freeLibrary(void* library) {
    if (library != nullptr) dlclose(library);
}
void setLibraryDirectory(const char*) {}
void loadAuxiliaryRuntimeLibraries() {}

// ---- Memory and clock ------------------------------------------------------

namespace {

bool meminfoValue(const char* key, uint64_t* bytes) {
    FILE* file = fopen("/proc/meminfo", "r");
    if (file == nullptr) return false;
    char line[256];
    bool found = false;
    size_t keyLength = strlen(key);
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            unsigned long long kib = strtoull(line + keyLength + 1, nullptr, 10);
            *bytes = static_cast<uint64_t>(kib) * 1024;
            found = true;
            break;
        }
    }
    fclose(file);
    return found;
}

bool formatNow(const char* picture, char* buf, size_t cap) {
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return false;
    return strftime(buf, cap, picture, &local) != 0;
}
}  // namespace

bool systemMemoryStatus(MemoryFigures* figures) {
    uint64_t available = 0, total = 0;
    if (meminfoValue("MemAvailable", &available) && meminfoValue("MemTotal", &total)) {
        figures->availablePhysical = available;
        figures->totalPhysical = total;
        return true;
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) return false;
    figures->availablePhysical = static_cast<uint64_t>(info.freeram) * info.mem_unit;
    figures->totalPhysical = static_cast<uint64_t>(info.totalram) * info.mem_unit;
    return true;
}

bool systemDateText(char* buf, size_t cap) {
    return formatNow("%Y%m%d", buf, cap);
}

bool systemTimeText(char* buf, size_t cap) {
    return formatNow("%H%M%S", buf, cap);
}

}  // namespace platform

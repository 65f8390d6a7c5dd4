// POSIX side: the per-user temporary directory, the cache folder, and the
// extraction folder's trust checks and locks.
//
// A running VM keeps reading its archives, and POSIX lets anyone delete or
// replace a file that is open. So a launcher holds a shared flock on its
// extraction folder for as long as it runs, and a cleanup child deletes only
// under an exclusive one, which it gets only when no live launcher holds the
// folder. The descriptors stay open until the process ends.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

namespace {

// A cleanup child holds its claim only while it deletes, a few
// milliseconds; a launcher waits this long for it before it gives up.
constexpr int kFolderClaimWaitMs = 5000;
constexpr int kFolderRetryMs = 10;
// Tries when the folder is removed between being opened and being held.
constexpr int kFolderOpenTries = 5;

// Owned by this user (or by root, who could change the executable itself)
// and writable by nobody else.
bool isOwnFolder(const struct stat& info) {
    return S_ISDIR(info.st_mode) && (info.st_uid == geteuid() || info.st_uid == 0) &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens a folder for a lock. With mustBeOwn a link is not followed and a
// folder that is not the user's own is refused.
FolderResult openFolder(const char* path, bool mustBeOwn, int* fd) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (mustBeOwn ? O_NOFOLLOW : 0);
    *fd = open(path, flags);
    if (*fd < 0) {
        if (mustBeOwn && (errno == ELOOP || errno == ENOTDIR)) {
            setFailureReason(Failure::UntrustedFolder);
            return FolderResult::Untrusted;
        }
        return FolderResult::Failed;
    }
    struct stat info;
    if (mustBeOwn && (fstat(*fd, &info) != 0 || !isOwnFolder(info))) {
        close(*fd);
        *fd = -1;
        setFailureReason(Failure::UntrustedFolder);
        return FolderResult::Untrusted;
    }
    return FolderResult::Ready;
}

// True while fd still is the folder that path names: a cleanup child may
// have removed it between our open and our lock.
bool stillNamed(int fd, const char* path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

void pause(int milliseconds) {
    struct timespec delay = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

// Takes a shared lock, waiting at most kFolderClaimWaitMs for an exclusive
// holder (a deleting cleanup child) to finish.
bool lockShared(int fd) {
    for (int waited = 0;; waited += kFolderRetryMs) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (waited >= kFolderClaimWaitMs) return false;
        pause(kFolderRetryMs);
    }
}

}  // namespace

size_t temporaryDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    char folder[4096];
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        snprintf(folder, sizeof(folder), "%s", runtime);
    } else {
        const char* base = getenv("TMPDIR");
        if (base == nullptr || base[0] != '/') base = "/tmp";
        size_t n = strlen(base);
        while (n > 1 && base[n - 1] == '/') --n;
        int written = snprintf(folder, sizeof(folder), "%.*s/vantrel-%u", static_cast<int>(n), base,
                               static_cast<unsigned>(geteuid()));
        if (written < 0 || static_cast<size_t>(written) >= sizeof(folder)) {
            errno = ENAMETOOLONG;
            return 0;
        }
        // Another user may have made this name first: it must be ours.
        if (mkdir(folder, 0700) != 0 && errno != EEXIST) return 0;
        struct stat info;
        if (lstat(folder, &info) != 0) return 0;
        if (!isOwnFolder(info)) {
            setFailureReason(Failure::UntrustedFolder);
            return 0;
        }
    }
    size_t n = strlen(folder);
    bool needsSlash = folder[n - 1] != '/';
    if (n + (needsSlash ? 1 : 0) + 1 > cap) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(buf, folder, n);
    if (needsSlash) buf[n++] = '/';
    buf[n] = '\0';
    return n;
}

namespace {

// A folder named by the environment that the launcher builds paths on:
// absolute, and free of what the option texts give a meaning (quotes, the
// class-path separator, placeholders).
bool usableBase(const char* path) { return path != nullptr && path[0] == '/' && strpbrk(path, "\";%") == nullptr; }

// One level of the cache folder: created 0700 when missing, then it must be
// the user's own.
bool ownLevel(const char* path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) return false;
    struct stat info;
    if (lstat(path, &info) != 0) return false;
    if (isOwnFolder(info)) return true;
    setFailureReason(Failure::UntrustedFolder);
    return false;
}

}  // namespace

size_t userCacheDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    const char* xdg = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    char base[4096];
    int written = usableBase(xdg)    ? snprintf(base, sizeof(base), "%s", xdg)
                  : usableBase(home) ? snprintf(base, sizeof(base), "%s/.cache", home)
                                     : -1;
    if (written < 0) {
        errno = ENOENT;
        return 0;
    }
    size_t n = static_cast<size_t>(written);
    while (n > 1 && base[n - 1] == '/') base[--n] = '\0';
    char folder[4096];
    written = snprintf(folder, sizeof(folder), "%s/vantrel/cache/", base);
    if (static_cast<size_t>(written) >= sizeof(folder) || static_cast<size_t>(written) + 1 > cap) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // The base may not exist yet (XDG asks for 0700 then); vantrel and cache
    // are the launcher's and must be the user's own.
    if (mkdir(base, 0700) != 0 && errno != EEXIST) return 0;
    folder[n + sizeof("/vantrel") - 1] = '\0';
    if (!ownLevel(folder)) return 0;
    folder[n + sizeof("/vantrel") - 1] = '/';
    folder[written - 1] = '\0';
    if (!ownLevel(folder)) return 0;
    folder[written - 1] = '/';
    memcpy(buf, folder, static_cast<size_t>(written) + 1);
    return static_cast<size_t>(written);
}

FolderResult holdExtractionFolder(const char* path, bool create, bool mustBeOwn) {
    for (int attempt = 0; attempt < kFolderOpenTries; ++attempt) {
        if (create && mkdir(path, 0700) != 0 && errno != EEXIST) return FolderResult::Failed;
        int fd;
        FolderResult result = openFolder(path, mustBeOwn, &fd);
        if (result != FolderResult::Ready) {
            if (result == FolderResult::Failed && errno == ENOENT && create) continue;
            return result;
        }
        if (!lockShared(fd)) {
            int error = errno;
            close(fd);
            errno = error;
            return FolderResult::Failed;
        }
        if (stillNamed(fd, path)) return FolderResult::Ready;  // fd stays open: the lock lasts
        close(fd);
    }
    errno = EAGAIN;
    return FolderResult::Failed;
}

FolderResult claimExtractionFolder(const char* path, bool mustBeOwn) {
    int fd;
    FolderResult result = openFolder(path, mustBeOwn, &fd);
    if (result != FolderResult::Ready) return result;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return error == EWOULDBLOCK ? FolderResult::Busy : FolderResult::Failed;
    }
    return FolderResult::Ready;  // fd stays open: the claim lasts
}

}  // namespace platform

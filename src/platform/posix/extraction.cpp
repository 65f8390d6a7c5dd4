// POSIX side: the per-user folder, the cache folder, and the extraction
// folder's trust checks and locks.
//
// A running VM keeps reading its archives, and POSIX lets anyone delete or
// replace a file that is open. So a launcher holds a flock on its
// extraction folder for as long as it runs: exclusive while it is the only
// one and may write there, shared otherwise; a cleanup child deletes only
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
// milliseconds, and a launcher holds its folder alone only while it writes
// there; another launcher waits this long for either before it gives up.
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

// Takes the lock alone when nobody else holds it, else shared, waiting at
// most kFolderClaimWaitMs while someone holds it alone. Trying the
// exclusive lock first loses nothing: nothing is held yet.
FolderResult lockAloneOrShared(int fd, bool* alone) {
    for (int waited = 0;; waited += kFolderRetryMs) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            *alone = true;
            return FolderResult::Ready;
        }
        if (errno == EWOULDBLOCK && flock(fd, LOCK_SH | LOCK_NB) == 0) {
            *alone = false;
            return FolderResult::Ready;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return FolderResult::Failed;
        if (waited >= kFolderClaimWaitMs) return FolderResult::Busy;
        pause(kFolderRetryMs);
    }
}

// A candidate for the per-user folder: an absolute variable (or a home) that
// holds nothing the class-path option would read as its own.
bool usableBase(const char* value) {
    return value != nullptr && value[0] == '/' && strpbrk(value, "\";%") == nullptr;
}

void notePassedOver(char* note, size_t cap, const char* path, uint32_t error) {
    if (note == nullptr || cap == 0) return;
    size_t used = strlen(note);
    char reason[160];
    systemErrorText(error, reason, sizeof(reason));
    snprintf(note + used, cap - used, "%s\"%s\": %s", used > 0 ? "; " : "", path, reason);
}

// The first candidate that ensurePrivateFolder takes, into folder.
bool firstPrivateFolder(char* folder, size_t cap, char* note, size_t noteCap) {
    // Below the cache and the home: the folder itself and the one above it,
    // which may be missing too (the user's cache: 0700).
    const struct {
        const char* value;
        const char* below;
    } bases[] = {{getenv("XDG_CACHE_HOME"), "/vantrel"}, {getenv("HOME"), "/.cache/vantrel"}};
    for (const auto& base : bases) {
        if (base.value == nullptr || base.value[0] == '\0') continue;
        int n = snprintf(folder, cap, "%s%s", base.value, base.below);
        const char* passed = base.value;
        if (!usableBase(base.value)) {
            setFailureReason(Failure::NotPlainName);
        } else if (n < 0 || static_cast<size_t>(n) >= cap) {
            errno = ENAMETOOLONG;
        } else {
            char* last = strrchr(folder, '/');
            *last = '\0';
            const bool above = mkdir(folder, 0700) == 0 || errno == EEXIST;
            *last = '/';
            if (above && ensurePrivateFolder(folder)) return true;
            passed = folder;
        }
        notePassedOver(note, noteCap, passed, lastError());
    }
    // Without a usable home: a folder of the user's own in the temporary one.
    const char* temporary = getenv("TMPDIR");
    if (!usableBase(temporary)) temporary = "/tmp";
    int length = static_cast<int>(strlen(temporary));
    while (length > 1 && temporary[length - 1] == '/') --length;
    const unsigned uid = static_cast<unsigned>(geteuid());
    int n = snprintf(folder, cap, "%.*s/vantrel-%u", length, temporary, uid);
    if (n >= 0 && static_cast<size_t>(n) < cap) {
        if (ensurePrivateFolder(folder)) return true;
        notePassedOver(note, noteCap, folder, lastError());
    }
    // Every fixed name is taken, or another user planted it: a fresh folder
    // of our own, the same one for the rest of the process.
    static char fresh[4096];
    if (fresh[0] == '\0') {
        char name[4096];
        n = snprintf(name, sizeof(name), "%.*s/vantrel-%u-XXXXXX", length, temporary, uid);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(name)) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (mkdtemp(name) == nullptr) return false;
        memcpy(fresh, name, static_cast<size_t>(n) + 1);
    }
    if (strlen(fresh) >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    strcpy(folder, fresh);
    return true;
}

}  // namespace

// One rule for every folder of the user's own (the per-user folder, and the
// folders that live in it): created 0700 when missing, then, looked at
// without following a link, refused when it is a link, belongs to another
// user (root excepted) or others may write to it. Such a folder could hold
// planted files, or send what is written elsewhere.
bool ensurePrivateFolder(const char* path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) return false;
    struct stat info;
    if (lstat(path, &info) != 0) return false;
    if (!isOwnFolder(info)) {
        setFailureReason(Failure::UntrustedFolder);
        return false;
    }
    return true;
}

size_t temporaryDirectory(char* buf, size_t cap, char* passedOver, size_t passedCap) {
    if (passedOver != nullptr && passedCap > 0) passedOver[0] = '\0';
    if (cap == 0) return 0;
    buf[0] = '\0';
    char folder[4096];
    if (!firstPrivateFolder(folder, sizeof(folder), passedOver, passedCap)) return 0;
    size_t n = strlen(folder);
    if (n + 2 > cap) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(buf, folder, n);
    buf[n++] = '/';
    buf[n] = '\0';
    return n;
}

// The cache folder below the same bases as the per-user folder, under the
// same rule for each of its two levels.
size_t userCacheDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    const char* xdg = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    char folder[4096];
    int n = usableBase(xdg)    ? snprintf(folder, sizeof(folder), "%s/vantrel", xdg)
            : usableBase(home) ? snprintf(folder, sizeof(folder), "%s/.cache/vantrel", home)
                               : -1;
    if (n < 0) {
        setFailureReason(Failure::NotPlainName);
        return 0;
    }
    const size_t length = static_cast<size_t>(n) + sizeof("/cache/") - 1;
    if (length >= sizeof(folder) || length >= cap) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // The folder above may be missing too (the user's cache: 0700).
    char* last = strrchr(folder, '/');
    *last = '\0';
    const bool above = mkdir(folder, 0700) == 0 || errno == EEXIST;
    *last = '/';
    if (!above || !ensurePrivateFolder(folder)) return 0;
    memcpy(folder + n, "/cache", sizeof("/cache"));
    if (!ensurePrivateFolder(folder)) return 0;
    n += static_cast<int>(sizeof("/cache") - 1);
    folder[n++] = '/';
    folder[n] = '\0';
    memcpy(buf, folder, static_cast<size_t>(n) + 1);
    return static_cast<size_t>(n);
}

struct FolderHold {
    int fd;
};

FolderResult holdExtractionFolder(const char* path, bool create, bool mustBeOwn, FolderHold** hold, bool* alone) {
    *hold = nullptr;
    *alone = false;
    for (int attempt = 0; attempt < kFolderOpenTries; ++attempt) {
        if (create && mkdir(path, 0700) != 0 && errno != EEXIST) return FolderResult::Failed;
        int fd;
        FolderResult result = openFolder(path, mustBeOwn, &fd);
        if (result != FolderResult::Ready) {
            if (result == FolderResult::Failed && errno == ENOENT && create) continue;
            return result;
        }
        result = lockAloneOrShared(fd, alone);
        if (result != FolderResult::Ready) {
            int error = errno;
            close(fd);
            errno = error;
            return result;
        }
        if (stillNamed(fd, path)) {
            *hold = new FolderHold{fd};  // the descriptor stays open: the lock lasts
            return FolderResult::Ready;
        }
        close(fd);
    }
    errno = EAGAIN;
    return FolderResult::Failed;
}

void shareExtractionFolder(FolderHold* hold) {
    // From exclusive to shared in one step: Linux changes a flock without a
    // moment in which nobody holds it.
    if (hold != nullptr) flock(hold->fd, LOCK_SH | LOCK_NB);
}

void releaseExtractionFolder(FolderHold* hold) {
    if (hold == nullptr) return;
    int saved = errno;
    close(hold->fd);
    delete hold;
    errno = saved;
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

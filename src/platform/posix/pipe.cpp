// POSIX side of the capture pipe: a FIFO in a private folder, read with poll
// so that a second descriptor (the wake pipe) can end a read that waits.
// Closing a FIFO's read end from another thread does not wake a reader
// blocked in read(), hence the wake pipe.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

// What a woken reader still reads: one pipe buffer's worth, so that output
// written before the wake reaches the capture, while a writer that never
// stops cannot keep the reader going.
constexpr size_t kDrainLimit = 64 * 1024;

constexpr char kFolderTemplate[] = "vantrel-capture-XXXXXX";
constexpr char kFifoName[] = "/pipe";

}  // namespace

struct CapturePipe {
    int fifo;
    int wakeRead;
    int wakeWrite;
    std::atomic<bool> woken;
    size_t drained;  // bytes read since the wake (reader thread only)
    char folder[4096];
    char path[4096];
    bool named;  // the FIFO and its folder still exist
};

static void removeName(CapturePipe* pipe) {
    if (!pipe->named) return;
    int saved = errno;
    unlink(pipe->path);
    rmdir(pipe->folder);
    errno = saved;
    pipe->named = false;
}

CapturePipe* createCapturePipe(char* name, size_t cap, const char*) {
    auto* pipe = new (std::nothrow) CapturePipe{-1, -1, -1, {false}, 0, {}, {}, false};
    if (pipe == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t base = temporaryDirectory(pipe->folder, sizeof(pipe->folder));
    bool ok = base != 0 && base + sizeof(kFolderTemplate) + sizeof(kFifoName) <= sizeof(pipe->folder);
    if (base != 0 && !ok) errno = ENAMETOOLONG;
    if (ok) {
        memcpy(pipe->folder + base, kFolderTemplate, sizeof(kFolderTemplate));
        ok = mkdtemp(pipe->folder) != nullptr;  // a new folder, 0700, with an unguessable name
    }
    if (ok) {
        size_t folder = strlen(pipe->folder);  // fits with the FIFO's name: checked above
        memcpy(pipe->path, pipe->folder, folder);
        memcpy(pipe->path + folder, kFifoName, sizeof(kFifoName));
        ok = mkfifo(pipe->path, 0600) == 0;
        if (!ok) {
            int saved = errno;
            rmdir(pipe->folder);
            errno = saved;
        }
    }
    if (ok) {
        pipe->named = true;
        int wake[2] = {-1, -1};
        // The read end first and without blocking: a writer's open then
        // finds a reader and does not block.
        pipe->fifo = open(pipe->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ok = pipe->fifo >= 0 && ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0;
        pipe->wakeRead = wake[0];
        pipe->wakeWrite = wake[1];
    }
    if (ok && strlen(pipe->path) >= cap) {
        errno = ENAMETOOLONG;
        ok = false;
    }
    if (!ok) {
        closeCapturePipe(pipe);
        return nullptr;
    }
    memcpy(name, pipe->path, strlen(pipe->path) + 1);
    return pipe;
}

void releaseCapturePipeName(CapturePipe* pipe) { removeName(pipe); }

long readCapturePipe(CapturePipe* pipe, void* buffer, size_t size) {
    for (;;) {
        bool woken = pipe->woken.load();
        if (woken && pipe->drained >= kDrainLimit) return 0;
        if (woken && size > kDrainLimit - pipe->drained) size = kDrainLimit - pipe->drained;
        ssize_t n = read(pipe->fifo, buffer, size);
        if (n > 0) {
            if (woken) pipe->drained += static_cast<size_t>(n);
            return static_cast<long>(n);
        }
        if (n == 0) return 0;  // every writer has closed its end
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -1;
        if (woken) return 0;  // drained
        struct pollfd waits[2] = {{pipe->fifo, POLLIN, 0}, {pipe->wakeRead, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) return -1;
    }
}

void wakeCapturePipe(CapturePipe* pipe) {
    pipe->woken.store(true);
    int saved = errno;
    ssize_t written = write(pipe->wakeWrite, "w", 1);  // a full wake pipe is already awake
    (void)written;
    errno = saved;
}

void closeCapturePipe(CapturePipe* pipe) {
    if (pipe == nullptr) return;
    int saved = errno;
    for (int fd : {pipe->fifo, pipe->wakeRead, pipe->wakeWrite})
        if (fd >= 0) close(fd);
    removeName(pipe);
    delete pipe;
    errno = saved;
}

}  // namespace platform

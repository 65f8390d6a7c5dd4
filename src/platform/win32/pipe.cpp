// Windows side of the capture pipe: a named pipe read with overlapped I/O,
// so that a wait for output can also see the wake event.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

// The pipe's buffer, and what a woken reader still reads: one buffer's
// worth, so that output written before the wake reaches the capture, while a
// writer that never stops cannot keep the reader going. (A writer that had
// no buffer would wait for the reader at every write: a rotated file of many
// megabytes would take twice as long.)
constexpr size_t kDrainLimit = 64 * 1024;

constexpr long kReadCancelled = -2;
constexpr long kReadEnd = -3;

}  // namespace

struct CapturePipe {
    HANDLE pipe;
    HANDLE readDone;  // the OVERLAPPED record's event
    HANDLE wake;      // manual-reset: set once by wakeCapturePipe
    size_t drained;   // bytes read since the wake (reader thread only)
};

CapturePipe* createCapturePipe(char* name, size_t cap, const char* suffix) {
    char text[64];
    int length = std::snprintf(text, sizeof(text), "\\\\.\\pipe\\%lu%s",
                               static_cast<unsigned long>(GetCurrentProcessId()), suffix);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(text) || static_cast<size_t>(length) >= cap) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nullptr;
    }
    auto* pipe = new (std::nothrow) CapturePipe{INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
    if (pipe == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // One instance, and it must be the first: a process that created this
    // predictable name before us would otherwise receive the output. Both
    // streams share the one connection, so one instance is all we need.
    pipe->pipe = CreateNamedPipeA(text, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kDrainLimit, kDrainLimit, 0,
                                  nullptr);
    // Where the flag is not honoured (Wine ignores it), the pipe tells: an
    // instance of a name made first elsewhere shares it with the others.
    DWORD instances = 0, maximum = 0;
    if (pipe->pipe != INVALID_HANDLE_VALUE &&
        (!GetNamedPipeHandleStateA(pipe->pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) ||
         !GetNamedPipeInfo(pipe->pipe, nullptr, nullptr, nullptr, &maximum) || instances != 1 || maximum != 1)) {
        CloseHandle(pipe->pipe);
        pipe->pipe = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_PIPE_BUSY);
    }
    pipe->readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pipe->wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pipe->pipe == INVALID_HANDLE_VALUE || pipe->readDone == nullptr || pipe->wake == nullptr) {
        closeCapturePipe(pipe);
        return nullptr;
    }
    std::memcpy(name, text, std::strlen(text) + 1);
    return pipe;
}

void releaseCapturePipeName(CapturePipe*) {}

// One overlapped read: the bytes read (0 for a writer's empty write),
// kReadEnd, kReadCancelled by the wake, or -1 on failure.
static long readOnce(CapturePipe* pipe, void* buffer, DWORD size) {
    // The handle was opened for overlapped I/O, so it is read with an
    // OVERLAPPED record: the wait below can then also see a wake.
    OVERLAPPED overlapped{};
    overlapped.hEvent = pipe->readDone;
    ResetEvent(pipe->readDone);
    DWORD count = 0;
    DWORD error = ERROR_SUCCESS;
    if (!ReadFile(pipe->pipe, buffer, size, nullptr, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {pipe->readDone, pipe->wake};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) CancelIo(pipe->pipe);
            // Waits for the read or its cancellation; a read that completed
            // meanwhile keeps its bytes.
            error = GetOverlappedResult(pipe->pipe, &overlapped, &count, TRUE) ? ERROR_SUCCESS : GetLastError();
        }
    } else if (!GetOverlappedResult(pipe->pipe, &overlapped, &count, FALSE)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) return static_cast<long>(count);
    if (error == ERROR_OPERATION_ABORTED) return kReadCancelled;
    // The writer closed its end, or none is connected: the end.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_PIPE_LISTENING)
        return kReadEnd;
    SetLastError(error);
    return -1;
}

long readCapturePipe(CapturePipe* pipe, void* buffer, size_t size) {
    if (size > 0x10000000) size = 0x10000000;
    for (;;) {
        DWORD wanted = static_cast<DWORD>(size);
        bool woken = WaitForSingleObject(pipe->wake, 0) == WAIT_OBJECT_0;
        if (woken) {
            // Only what the pipe already holds, and only so much of it.
            DWORD available = 0;
            if (pipe->drained >= kDrainLimit ||
                !PeekNamedPipe(pipe->pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
                return 0;
            if (wanted > kDrainLimit - pipe->drained) wanted = static_cast<DWORD>(kDrainLimit - pipe->drained);
        }
        long n = readOnce(pipe, buffer, wanted);
        if (n == kReadCancelled || (n == 0 && !woken)) continue;  // woken: drain; empty write: read on
        if (n == kReadEnd) return 0;
        if (n > 0 && woken) pipe->drained += static_cast<size_t>(n);
        return n;
    }
}

void wakeCapturePipe(CapturePipe* pipe) { SetEvent(pipe->wake); }

void closeCapturePipe(CapturePipe* pipe) {
    if (pipe == nullptr) return;
    DWORD saved = GetLastError();
    if (pipe->pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe->pipe);
    if (pipe->readDone != nullptr) CloseHandle(pipe->readDone);
    if (pipe->wake != nullptr) CloseHandle(pipe->wake);
    delete pipe;
    SetLastError(saved);
}

}  // namespace platform

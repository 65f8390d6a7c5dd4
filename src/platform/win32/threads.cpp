// Windows side: threads with a bounded wait, the lock, events and sleep.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {

// ---- Threads ---------------------------------------------------------------

struct Thread {
    HANDLE handle;
    ThreadProcedure procedure;
    void* argument;
    // The starter's and the thread's own hold on the record: whoever lets go
    // last frees it, so that a thread given up before it ends still has it.
    LONG holders;
};

static void letGo(Thread* thread) {
    if (InterlockedDecrement(&thread->holders) == 0) delete thread;
}

static DWORD WINAPI threadStart(LPVOID record) {
    auto* thread = static_cast<Thread*>(record);
    DWORD result = thread->procedure(thread->argument);
    letGo(thread);
    return result;
}

Thread* startThread(ThreadProcedure procedure, void* argument) {
    auto* thread = new (std::nothrow) Thread{nullptr, procedure, argument, 2};
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->handle = CreateThread(nullptr, 0, threadStart, thread, 0, nullptr);
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

bool waitForThread(Thread* thread, uint32_t timeoutMs) {
    return WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void releaseThread(Thread* thread) {
    if (thread == nullptr) return;
    CloseHandle(thread->handle);
    letGo(thread);
}

// ---- Lock ------------------------------------------------------------------

static_assert(sizeof(SRWLOCK) <= sizeof(Lock::storage), "the lock's storage is too small");

static SRWLOCK* srwOf(Lock* lock) { return reinterpret_cast<SRWLOCK*>(lock->storage); }

void initLock(Lock* lock) { InitializeSRWLock(srwOf(lock)); }
void acquireLock(Lock* lock) { AcquireSRWLockExclusive(srwOf(lock)); }
void releaseLock(Lock* lock) { ReleaseSRWLockExclusive(srwOf(lock)); }

// ---- Events ----------------------------------------------------------------

// The Event record is the event's handle itself.
Event* createEvent(bool manualReset) {
    return reinterpret_cast<Event*>(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
}

void signalEvent(Event* event) { SetEvent(reinterpret_cast<HANDLE>(event)); }

bool waitForEvent(Event* event, uint32_t timeoutMs) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), timeoutMs) == WAIT_OBJECT_0;
}

// ---- Sleep -----------------------------------------------------------------

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t monotonicMilliseconds() { return GetTickCount64(); }

}  // namespace platform

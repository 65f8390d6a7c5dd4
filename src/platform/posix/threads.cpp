// POSIX side: threads with a bounded join, the lock, events and sleep.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

// An absolute CLOCK_REALTIME time timeoutMs from now (pthread_timedjoin_np
// measures against that clock).
timespec deadlineAfter(clockid_t clock, uint32_t timeoutMs) {
    timespec now;
    clock_gettime(clock, &now);
    long long nanoseconds = now.tv_nsec + static_cast<long long>(timeoutMs % 1000) * 1000000;
    now.tv_sec += static_cast<time_t>(timeoutMs / 1000 + nanoseconds / 1000000000);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return now;
}

}  // namespace

// ---- Threads ---------------------------------------------------------------

struct Thread {
    pthread_t id;
    ThreadProcedure procedure;
    void* argument;
    bool joined;
    // The starter's and the thread's own hold on the record: whoever lets go
    // last frees it, so that a thread given up before it ends still has it.
    std::atomic<int> holders;
};

static void letGo(Thread* thread) {
    if (thread->holders.fetch_sub(1) == 1) delete thread;
}

static void* threadStart(void* record) {
    auto* thread = static_cast<Thread*>(record);
    thread->procedure(thread->argument);
    letGo(thread);
    return nullptr;
}

Thread* startThread(ThreadProcedure procedure, void* argument) {
    auto* thread = new (std::nothrow) Thread{{}, procedure, argument, false, {2}};
    if (thread == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    int result = pthread_create(&thread->id, nullptr, threadStart, thread);
    if (result != 0) {
        delete thread;
        errno = result;
        return nullptr;
    }
    return thread;
}

bool waitForThread(Thread* thread, uint32_t timeoutMs) {
    if (thread->joined) return true;
    timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
    thread->joined = pthread_timedjoin_np(thread->id, nullptr, &deadline) == 0;
    return thread->joined;
}

void releaseThread(Thread* thread) {
    if (thread == nullptr) return;
    if (!thread->joined) pthread_detach(thread->id);  // it cleans up after itself when it ends
    letGo(thread);
}

// ---- Lock ------------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "the lock's storage is too small");

static pthread_mutex_t* mutexOf(Lock* lock) { return reinterpret_cast<pthread_mutex_t*>(lock->storage); }

void initLock(Lock* lock) { new (lock->storage) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
void acquireLock(Lock* lock) { pthread_mutex_lock(mutexOf(lock)); }
void releaseLock(Lock* lock) { pthread_mutex_unlock(mutexOf(lock)); }

// ---- Events ----------------------------------------------------------------

struct Event {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    bool manualReset;
    bool signalled;
};

Event* createEvent(bool manualReset) {
    auto* event = new (std::nothrow) Event{PTHREAD_MUTEX_INITIALIZER, {}, manualReset, false};
    if (event == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // Bounded waits measure against the monotonic clock, so that a change
    // of the wall clock neither shortens nor stretches them.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    int result = pthread_cond_init(&event->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    if (result != 0) {
        delete event;
        errno = result;
        return nullptr;
    }
    return event;
}

void signalEvent(Event* event) {
    pthread_mutex_lock(&event->mutex);
    event->signalled = true;
    if (event->manualReset)
        pthread_cond_broadcast(&event->changed);
    else
        pthread_cond_signal(&event->changed);
    pthread_mutex_unlock(&event->mutex);
}

bool waitForEvent(Event* event, uint32_t timeoutMs) {
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    pthread_mutex_lock(&event->mutex);
    int result = 0;
    while (!event->signalled && result != ETIMEDOUT) {
        if (timeoutMs == kWaitForever)
            result = pthread_cond_wait(&event->changed, &event->mutex);
        else
            result = pthread_cond_timedwait(&event->changed, &event->mutex, &deadline);
    }
    bool signalled = event->signalled;
    if (signalled && !event->manualReset) event->signalled = false;
    pthread_mutex_unlock(&event->mutex);
    return signalled;
}

// ---- Sleep -----------------------------------------------------------------

void sleepMilliseconds(uint32_t milliseconds) {
    timespec remaining = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

uint64_t monotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace platform

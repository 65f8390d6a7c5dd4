// The service run mode: the entry point that reports the service's life, the
// worker that runs the application, the control handler, and the stop with
// its timeout.
//
// One function, reportServiceStatus, owns what the service manager is told.
// A stop is a message: the control handler records the first stop or
// shutdown request and wakes the entry point, which is the one place that
// waits: for the application to end and, once a stop was asked, at most
// ServiceStopTimeout longer. The stop action starts (once) only when the
// primary main has been entered; a stop that comes before that keeps main
// from being called at all. How the service ended is recorded once, by whoever
// ends it first (the worker, an exit or abort hook, the timeout), and
// decides what the service manager, the event log and the exit status say.
#include <atomic>
#include <cstdio>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/rotation.h"
#include "java/invoke.h"
#include "java/streams.h"
#include "java/vm_hooks.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "runtime/jvm.h"
#include "service/service.h"

namespace {

// While a state is pending the entry point advances its check point this
// often, well within the wait hint, so that the service manager sees the
// start (or the stop) make progress. A start has no bound of its own:
// creating the VM takes what the application's options make it take.
constexpr uint32_t kProgressMs = 1000;
constexpr uint32_t kStartWaitHintMs = 10000;
// A hook that ends the process with the VM's status does so within one poll
// of ServiceDone; the return path gives it this long.
constexpr uint32_t kHookExitWaitMs = 10000;
constexpr uint32_t kErrorServiceSpecificError = 1066;
// The service-specific exit codes of a failed end; an application's own
// non-zero status is reported as it is.
constexpr uint32_t kStartFailedCode = 1013;
constexpr uint32_t kForcedStopCode = 1014;
constexpr uint32_t kVmAbortedCode = 1015;
// The process's exit status after a failure that names no status of its own.
constexpr int kFailedExitStatus = -1;

enum class Ending : uint8_t {
    None,
    Stopped,     // main returned and the application ended, or System.exit(0): message 18
    Failed,      // the start failed, main threw, or the stop action could not be made: message 19
    ExitStatus,  // System.exit with a status other than 0
    Forced,      // a stop did not end the application in time: message 20
    Aborted,     // the VM aborted (the abort hook reported it)
};

// Under stateLock.
platform::Lock stateLock;
platform::ServiceStatus currentStatus = {0, 0, 0, 0, 0};
bool stopRequested = false;
uint64_t stopRequestedAtMs = 0;
bool mainEntered = false;
Ending ending = Ending::None;
int32_t endingStatus = 0;  // the application's, for Ending::ExitStatus

std::atomic<bool> vmGone{false};      // the worker has destroyed the VM
std::atomic<bool> stopFailed{false};  // the stop action could not be made
uint32_t stopEventError = 0;
int exitStatus = 0;  // the process's, once the entry point has finished

int stateRank(uint32_t state) {
    switch (state) {
        case platform::kServiceStartPending: return 1;
        case platform::kServiceRunning: return 2;
        case platform::kServiceStopPending: return 3;
        case platform::kServiceStopped: return 4;
        default: return 0;
    }
}

// The one owner of the reported status; the caller holds stateLock. States
// only move forward (start pending, running, stop pending, stopped): a stop
// may come before the running report, and nothing may follow the final
// report. A pending state reported again advances its check point.
void reportServiceStatus(uint32_t state, uint32_t waitHintMs, uint32_t serviceExitCode, const char* text) {
    if (currentStatus.state == platform::kServiceStopped || stateRank(state) < stateRank(currentStatus.state)) return;
    const bool pending = state == platform::kServiceStartPending || state == platform::kServiceStopPending;
    const uint32_t checkPoint = !pending ? 0 : state == currentStatus.state ? currentStatus.checkPoint + 1 : 1;
    currentStatus = {state, waitHintMs, checkPoint, serviceExitCode != 0 ? kErrorServiceSpecificError : 0,
                     serviceExitCode};
    platform::setServiceStatus(currentStatus, text);
}

void signalStop() {
    if (Config.ServiceStopEvent != nullptr) platform::signalEvent(Config.ServiceStopEvent);
}

// The first ending recorded holds; the caller holds stateLock.
void recordEnding(Ending how, int32_t status) {
    if (ending != Ending::None) return;
    ending = how;
    endingStatus = status;
}

void recordEndingNow(Ending how) {
    platform::LockGuard guard(&stateLock);
    recordEnding(how, 0);
}

// An exit or abort hook that has woken the entry point: the VM is ending the
// process, with the status it was given.
void takeHookEnding() {
    const uint8_t how = Config.HookEndsProcess;
    if (how == VmEndAbort) recordEnding(Ending::Aborted, 0);
    if (how == VmEndExit) {
        const int32_t status = Config.VmExitStatus;
        recordEnding(status == 0 ? Ending::Stopped : Ending::ExitStatus, status);
    }
}

// On the worker, just before main: the VM exists and the main class has
// been found. From here on the service runs.
bool enterMain() {
    platform::LockGuard guard(&stateLock);
    if (stopRequested) {
        trace("service: stop requested during start-up, main is not called");
        return false;
    }
    mainEntered = true;
    MessageBuffer started = formatMessage(MsgServiceStarted, Config.ServiceName);
    reportInfo("%s", started.text);
    reportServiceStatus(platform::kServiceRunning, 0, 0, started.text);
    return true;
}

uint32_t serviceWorker(void*) {
    Config.KeepStartDirectory = 0;
    bool ran = createJavaVm(VmUse::Primary);
    if (ran) {
        ArgumentVector arguments = splitArguments(Config.ServiceAppOptions);
        ran = invokeMainClass(arguments.count, arguments.items, false, enterMain);
        // After a failed main the application's other threads may still
        // run; they end with the process.
        if (ran) {
            // Returns once the application's last non-daemon thread has ended.
            shutdownJavaVm();
            vmGone = true;
        }
    }
    recordEndingNow(ran ? Ending::Stopped : Ending::Failed);
    signalStop();
    return 0;
}

uint32_t serviceStopThread(void*) {
    bool stopped;
    if (Config.ServiceStopByExit) {
        stopped = stopViaSystemExit();  // does not come back when the exit proceeds
    } else {
        ArgumentVector arguments = splitArguments(Config.ServiceStopArguments);
        stopped = invokeMainClass(arguments.count, arguments.items, true);
        freeArgumentVector(&arguments);
    }
    // A VM that went meanwhile refuses the call: the application has ended,
    // and that is no failed stop.
    if (!stopped && !vmGone) stopFailed = true;
    return 0;
}

void serviceControlHandler(uint32_t control) {
    platform::LockGuard guard(&stateLock);
    const bool stop = control == platform::kServiceControlStop || control == platform::kServiceControlShutdown ||
                      control == platform::kServiceControlPreshutdown;
    // Any other control, or a repeated stop: the status as it stands.
    if (!stop || stopRequested) {
        if (currentStatus.state != 0) platform::setServiceStatus(currentStatus, nullptr);
        return;
    }
    stopRequested = true;
    stopRequestedAtMs = platform::monotonicMilliseconds();
    reportServiceStatus(platform::kServiceStopPending, stopWaitHintMs(), 0, nullptr);
    trace("service: stop requested, through %s", Config.ServiceStopByExit ? "System.exit" : "ServiceStopArguments");
    signalStop();
}

bool startDetached(platform::ThreadProcedure procedure) {
    platform::Thread* thread = platform::startThread(procedure, nullptr);
    platform::releaseThread(thread);
    return thread != nullptr;
}

// The one wait of the service: until the application has ended and, once a
// stop was asked, at most ServiceStopTimeout longer (then the stop is forced).
// Meanwhile it starts the stop action once main runs, and advances the
// check point of a pending state.
void waitForEnd() {
    const uint32_t timeoutMs = stopTimeoutMs();
    bool stopStarted = false;
    for (;;) {
        uint32_t bound = platform::kWaitForever;
        bool startStop = false;
        {
            platform::LockGuard guard(&stateLock);
            takeHookEnding();
            if (ending != Ending::None) return;
            if (stopRequested) {
                const uint64_t waited = platform::monotonicMilliseconds() - stopRequestedAtMs;
                if (waited >= timeoutMs) {
                    recordEnding(Ending::Forced, 0);
                    return;
                }
                startStop = mainEntered && !stopStarted;
                bound = static_cast<uint32_t>(timeoutMs - waited) < kProgressMs
                            ? static_cast<uint32_t>(timeoutMs - waited)
                            : kProgressMs;
                reportServiceStatus(platform::kServiceStopPending, stopWaitHintMs(), 0, nullptr);
            } else if (!mainEntered) {
                bound = kProgressMs;
                reportServiceStatus(platform::kServiceStartPending, kStartWaitHintMs, 0, nullptr);
            }
        }
        if (startStop) {
            stopStarted = true;
            if (!startDetached(serviceStopThread)) {
                reportLastError();
                stopFailed = true;
            }
        }
        platform::waitForEvent(Config.ServiceStopEvent, bound);
    }
}

MessageBuffer exitStatusText(int32_t status) {
    MessageBuffer text;
    std::snprintf(text.text, sizeof(text.text), "The %s service has ended with exit status %d.", Config.ServiceName,
                  static_cast<int>(status));
    return text;
}

// Tells the service manager, the event log and the exit status how the
// service ended, once.
void finishService() {
    // A last line without its line feed reaches the echo (and the capture),
    // and the rotated files.
    endCaptureReader();
    endRotatedOutputs();
    platform::LockGuard guard(&stateLock);
    if (ending == Ending::None || (ending == Ending::Stopped && stopFailed)) ending = Ending::Failed;
    MessageBuffer text;
    uint32_t code = 0;  // service-specific; 0 for a clean stop
    switch (ending) {
        case Ending::Stopped: text = formatMessage(MsgServiceStopped, Config.ServiceName); break;
        case Ending::ExitStatus:
            text = exitStatusText(endingStatus);
            code = static_cast<uint32_t>(endingStatus);
            break;
        case Ending::Forced:
            text = formatMessage(MsgServiceTimeout, Config.ServiceName);
            code = kForcedStopCode;
            break;
        case Ending::Aborted:
            std::snprintf(text.text, sizeof(text.text), "%s", kVmAbortedText);
            code = kVmAbortedCode;
            break;
        case Ending::None:
        case Ending::Failed:
            text = formatMessage(MsgServiceFailed, Config.ServiceName);
            code = kStartFailedCode;
            break;
    }
    if (code == 0)
        reportInfo("%s", text.text);
    else if (ending != Ending::Aborted)  // the abort hook has reported it
        reportError("%s", text.text);
    exitStatus = code == 0 ? 0 : ending == Ending::ExitStatus ? endingStatus : kFailedExitStatus;
    reportServiceStatus(platform::kServiceStopped, 0, code, text.text);
    if (code == 0)
        trace("service: stopped");
    else
        trace("service: failed, service-specific code %u", static_cast<unsigned>(code));
}

void serviceMain() {
    void* source = platform::registerEventSource(Config.ServiceName);
    if (source == nullptr) {
        trace("service: no event source, the service ends");
        platform::LockGuard guard(&stateLock);
        exitStatus = kFailedExitStatus;
        return;
    }
    // Kept until the process ends, like the stop event: a late report (a
    // hook) never reaches a closed handle.
    Config.EventSource = source;
    platform::registerServiceControlHandler(Config.ServiceName, serviceControlHandler);
    {
        platform::LockGuard guard(&stateLock);
        MessageBuffer starting;
        std::snprintf(starting.text, sizeof(starting.text), "The %s service is starting.", Config.ServiceName);
        reportServiceStatus(platform::kServiceStartPending, kStartWaitHintMs, 0, starting.text);
    }

    if (Config.ServiceStopEvent == nullptr) {
        platform::setLastError(stopEventError);
        reportErrorWithReason("Internal error RC000004");
    } else if (!startDetached(serviceWorker)) {
        reportErrorWithReason("Internal error RC000005");
    } else {
        waitForEnd();
    }
    finishService();
    Config.ServiceDone = 1;
}

}  // namespace

int runServiceDispatcher() {
    platform::initLock(&stateLock);
    // Made before any thread exists and never closed: whoever ends the
    // application may signal it, however late. A failure is reported by the
    // entry point, where the event log is.
    Config.ServiceStopEvent = platform::createEvent(false);
    if (Config.ServiceStopEvent == nullptr) stopEventError = platform::lastError();
    if (!platform::startServiceDispatcher(Config.ServiceName, serviceMain)) {
        reportErrorWithReason("Internal error RC000003");
        return kFailedExitStatus;
    }
    // An exit or abort hook that woke the entry point ends the process
    // itself, with the VM's status, once it sees ServiceDone: returning from
    // here would race it.
    if (Config.HookEndsProcess) platform::sleepMilliseconds(kHookExitWaitMs);
    // Windows' dispatcher returns once the final status is reported, which
    // the entry point does under the lock, after it has set the status.
    platform::LockGuard guard(&stateLock);
    return exitStatus;
}

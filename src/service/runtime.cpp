// The service run mode: the entry point that reports the service's life, the
// worker that runs the application, the control handler, and the stop with
// its timeout.
//
// A stop is a message: the control handler records the first stop or
// shutdown request and starts the stop work once (the stop action and its
// timeout); later requests change nothing. The entry point is the one place
// that waits for the end, on ServiceStopEvent, which whoever ends the
// application signals: the worker, an exit or abort hook, the timeout.
#include <atomic>
#include <cstdlib>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "java/invoke.h"
#include "java/vm_hooks.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "runtime/jvm.h"
#include "service/service.h"

namespace {

// A stop that has not ended the application after this long is forced.
constexpr uint32_t kStopTimeoutMs = 30000;
// How often the stop thread looks whether the worker has created the VM.
constexpr uint32_t kVmStartPollMs = 50;
// A hook that ends the process with the VM's status does so within one poll
// of ServiceDone; the return path gives it this long.
constexpr uint32_t kHookExitWaitMs = 10000;
constexpr uint32_t kErrorServiceSpecificError = 1066;
constexpr uint32_t kServiceFailedExitCode = 1013;

// The VM as the worker has it: the stop thread may use it only while it runs.
enum VmState : uint8_t { VmPending, VmRunning, VmGone };
std::atomic<uint8_t> vmState{VmPending};
std::atomic<bool> stopRequested{false};
// The outcome of the stop action, apart from the outcome of the start
// (ServiceSucceeded), so that neither can overwrite the other.
std::atomic<bool> stopFailed{false};
std::atomic<bool> serviceEnding{false};
uint32_t stopEventError = 0;

// The one owner of the reported status. States only move forward (running,
// stop pending, stopped): a stop signal can come before the running report
// on POSIX, and nothing may follow the final report.
platform::Lock statusLock;
platform::ServiceStatus currentStatus = {0, 0, 0, 0};

int stateRank(uint32_t state) {
    switch (state) {
        case platform::kServiceRunning: return 1;
        case platform::kServiceStopPending: return 2;
        case platform::kServiceStopped: return 3;
        default: return 0;
    }
}

void reportServiceStatus(uint32_t state, uint32_t waitHintMs, bool failed, const char* text) {
    platform::LockGuard guard(&statusLock);
    if (stateRank(state) < stateRank(currentStatus.state)) return;
    currentStatus = {state, waitHintMs, failed ? kErrorServiceSpecificError : 0, failed ? kServiceFailedExitCode : 0};
    platform::setServiceStatus(currentStatus, text);
}

void reportCurrentStatus() {
    platform::LockGuard guard(&statusLock);
    if (currentStatus.state != 0) platform::setServiceStatus(currentStatus, nullptr);
}

void signalStop() {
    if (Config.ServiceStopEvent != nullptr) platform::signalEvent(Config.ServiceStopEvent);
}

uint32_t serviceWorker(void*) {
    Config.KeepStartDirectory = 0;
    Config.ServiceSucceeded = 1;
    const bool created = createJavaVm(VmUse::Primary);
    Config.ServiceSucceeded = created;
    vmState = created ? VmRunning : VmGone;
    if (created) {
        ArgumentVector arguments = splitArguments(Config.ServiceAppOptions);
        const bool ran = invokeMainClass(arguments.count, arguments.items, false);
        Config.ServiceSucceeded = ran;
        if (!ran) std::exit(-1);
        // Returns once the application's last non-daemon thread has ended.
        shutdownJavaVm();
        vmState = VmGone;
    }
    signalStop();
    return 0;
}

uint32_t serviceStopThread(void*) {
    // A stop may come while the worker is still creating the VM: it waits
    // for the VM (the timeout ends the service if it never comes), and it
    // has nothing to stop once the VM is gone.
    for (uint32_t waited = 0; vmState == VmPending && waited < kStopTimeoutMs; waited += kVmStartPollMs)
        platform::sleepMilliseconds(kVmStartPollMs);
    if (vmState != VmRunning) return 0;
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
    if (!stopped && vmState != VmGone) stopFailed = true;
    return 0;
}

uint32_t serviceStopTimeout(void*) {
    platform::sleepMilliseconds(kStopTimeoutMs);
    if (serviceEnding) return 0;  // the service ended meanwhile
    reportError("%s", formatMessage(MsgServiceTimeout, Config.ServiceName).text);
    signalStop();
    return 0;
}

bool startDetached(platform::ThreadProcedure procedure) {
    platform::Thread* thread = platform::startThread(procedure, nullptr);
    platform::releaseThread(thread);
    return thread != nullptr;
}

void serviceControlHandler(uint32_t control) {
    if (control != platform::kServiceControlStop && control != platform::kServiceControlShutdown) {
        reportCurrentStatus();
        return;
    }
    // The first request starts the stop; a repeated one starts no second
    // stop action and no second timeout.
    if (stopRequested.exchange(true)) {
        reportCurrentStatus();
        return;
    }
    reportServiceStatus(platform::kServiceStopPending, kStopWaitHintMs, false, nullptr);
    trace("service: stop requested, through %s", Config.ServiceStopByExit ? "System.exit" : "ServiceStopArguments");
    if (!startDetached(serviceStopThread)) reportLastError();
    if (!startDetached(serviceStopTimeout)) {
        reportLastError();
        signalStop();
    }
}

void serviceMain() {
    void* source = platform::registerEventSource(Config.ServiceName);
    if (source == nullptr) {
        trace("service: no event source, the service ends");
        return;
    }
    // Kept until the process ends, like the stop event: a late report (the
    // timeout, a hook) never reaches a closed handle.
    Config.EventSource = source;
    platform::registerServiceControlHandler(Config.ServiceName, serviceControlHandler);

    MessageBuffer started = formatMessage(MsgServiceStarted, Config.ServiceName);
    reportInfo("%s", started.text);
    reportServiceStatus(platform::kServiceRunning, 0, false, started.text);

    if (Config.ServiceStopEvent == nullptr) {
        platform::setLastError(stopEventError);
        reportErrorWithReason("Internal error RC000004");
    } else if (!startDetached(serviceWorker)) {
        reportErrorWithReason("Internal error RC000005");
    } else {
        // The service runs until someone ends the application.
        platform::waitForEvent(Config.ServiceStopEvent, platform::kWaitForever);
    }
    serviceEnding = true;

    const bool succeeded = Config.ServiceSucceeded && !stopFailed;
    MessageBuffer ended = formatMessage(succeeded ? MsgServiceStopped : MsgServiceFailed, Config.ServiceName);
    if (succeeded)
        reportInfo("%s", ended.text);
    else
        reportError("%s", ended.text);
    reportServiceStatus(platform::kServiceStopped, 0, !succeeded, ended.text);
    trace("service: %s", succeeded ? "stopped" : "failed");
    Config.ServiceDone = 1;
}

}  // namespace

bool runServiceDispatcher() {
    platform::initLock(&statusLock);
    // Made before any thread exists and never closed: whoever ends the
    // application may signal it, however late. A failure is reported by the
    // entry point, where the event log is.
    Config.ServiceStopEvent = platform::createEvent(false);
    if (Config.ServiceStopEvent == nullptr) stopEventError = platform::lastError();
    if (!platform::startServiceDispatcher(Config.ServiceName, serviceMain)) return false;
    // An exit or abort hook that signalled the stop ends the process itself,
    // with the VM's status, once it sees ServiceDone: returning 0 from here
    // would race it.
    if (Config.HookEndsProcess) platform::sleepMilliseconds(kHookExitWaitMs);
    return true;
}

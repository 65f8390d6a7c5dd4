// The VM's output, exit and abort hooks, and the stop of a service through
// System.exit. The VM calls the exit hook on its own VM thread and the abort
// hook from whichever thread fails; both end the process.
#include "java/vm_hooks.h"

#include <cstdlib>

#include "core/archives.h"
#include "core/class_data_cache.h"
#include "core/launcher_config.h"
#include "core/rotation.h"
#include "java/jni_scope.h"
#include "java/jni_text.h"
#include "java/streams.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

constexpr uint32_t kServiceDonePollMs = 100;
constexpr size_t kVmMessageSize = 4096;  // a longer VM message is cut

}  // namespace

extern "C" {

// The stream the VM hands in belongs to the VM's own C runtime, which on
// Windows need not be the launcher's; it is never touched. Both of the VM's
// streams go to the capture.
jint JNICALL vmOutputHook(FILE*, const char* format, va_list args) {
    char text[kVmMessageSize];
    int n = formatWholeCharacters(text, sizeof(text), format, args);
    if (n < 0) return n;
    // Where lines end with a carriage return, a line feed without one gets it.
    const bool carriageReturns = platform::linesEndWithCarriageReturn();
    char copy[2 * kVmMessageSize];
    size_t used = 0;
    for (size_t i = 0; text[i] != '\0'; ++i) {
        if (carriageReturns && text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) copy[used++] = '\r';
        copy[used++] = text[i];
    }
    appendCapture(copy, used);
    // The character count, negative when the text had to be cut.
    return static_cast<size_t>(n) < sizeof(text) ? n : -1;
}

void JNICALL vmAbortHook() {
    trace("exit: VM abort");
    reportWithCapture("%s", kVmAbortedText);
    exitCleanup(VmEndAbort, 0);
    std::abort();
}

void JNICALL vmExitHook(jint status) {
    trace("exit: status %d (System.exit)", int(status));
    finishClassDataCache();
    exitCleanup(VmEndExit, static_cast<int32_t>(status));
    std::exit(static_cast<int>(status));
}

void JNICALL vmLaunchExitHook(jint status) {
    trace("exit: status %d (System.exit)", int(status));
    finishClassDataCache();
    endRotatedOutputs();
}

}  // extern "C"

void exitCleanup(VmEnd how, int32_t status) {
    spawnCleanupChild();
    if (!Config.ServiceMode) return;
    Config.VmExitStatus = status;
    Config.HookEndsProcess = how;
    // The entry point reports how the service ended once it sees the event;
    // the process may end only after that report (else the service manager
    // would never learn of it), or once the bound has passed: the VM runs the
    // exit hook on its VM thread, and a wait without end there would freeze
    // the VM for good.
    if (Config.ServiceStopEvent != nullptr) platform::signalEvent(Config.ServiceStopEvent);
    waitForServiceDone(stopWaitHintMs());
}

bool waitForServiceDone(uint32_t boundMs) {
    for (uint32_t waited = 0; !Config.ServiceDone && waited < boundMs; waited += kServiceDonePollMs)
        platform::sleepMilliseconds(kServiceDonePollMs);
    return Config.ServiceDone != 0;
}

bool stopViaSystemExit() {
    AttachedThread attached(Config.JavaVm, "Vantrel stopper thread");
    JNIEnv* env = attached.env;
    if (env == nullptr) {
        reportError("%s", formatMessage(MsgAttachThread).text);
        return false;
    }
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    if (checkJavaException(env) || system.ref == nullptr) {
        reportError("%s", formatMessage(MsgLocateClass, "java/lang/System").text);
        return false;
    }
    jmethodID exitMethod = env->GetStaticMethodID(system.ref, "exit", "(I)V");
    if (checkJavaException(env) || exitMethod == nullptr) {
        reportError("%s", formatMessage(MsgLocateMethod, "exit(int)").text);
        return false;
    }
    // Normally this never comes back: the VM runs its shutdown and ends the
    // process through the exit hook.
    env->CallStaticVoidMethod(system.ref, exitMethod, 0);
    if (checkJavaException(env)) {
        reportError("%s", formatMessage(MsgInvokeMethod, "exit(int)").text);
        return false;
    }
    return true;
}

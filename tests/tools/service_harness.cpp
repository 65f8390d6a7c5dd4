// Test program: the launcher's service-mode paths without a service manager,
// for as long as the launcher has no service run mode of its own. Packed
// like a launcher, it starts up as the launcher does, sets service mode and
// then plays the service entry point and its worker: the worker creates the
// VM (with the output, exit and abort hooks) and runs the main class with
// ServiceAppOptions as a primary invocation; the entry point waits for
// ServiceStopEvent, reports the service's stop and sets ServiceDone.
//
// Environment:
//   VANTREL_HARNESS_EVENTS=FILE   event-log entries are appended to FILE, one
//                                 line each: "info: TEXT" or "error: TEXT",
//                                 with line feeds written as \n and carriage
//                                 returns as \r
//   VANTREL_HARNESS_STOP_AFTER=MS a stop thread calls stopViaSystemExit MS
//                                 milliseconds after the VM was created
//   VANTREL_HARNESS_NO_DONE=1     ServiceDone is never set (the hooks' wait
//                                 then ends at its bound)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/archives.h"
#include "core/config.h"
#include "core/launcher.h"
#include "core/placeholders.h"
#include "java/invoke.h"
#include "java/vm_hooks.h"
#include "platform/platform.h"
#include "report/report.h"
#include "runtime/jvm.h"

namespace {

constexpr uint32_t kRunBoundMs = 120000;  // a test run that takes longer has failed

platform::Lock eventsLock;
std::atomic<bool> workerEnded{false};

void writeEvent(uint16_t type, uint32_t, const char* text) {
    const char* path = std::getenv("VANTREL_HARNESS_EVENTS");
    if (path == nullptr) return;
    platform::LockGuard guard(&eventsLock);
    FILE* file = std::fopen(path, "ab");
    if (file == nullptr) return;
    std::fputs(type == 4 ? "info: " : "error: ", file);
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n') std::fputs("\\n", file);
        else if (*p == '\r') std::fputs("\\r", file);
        else if (*p == '\\') std::fputs("\\\\", file);
        else std::fputc(*p, file);
    }
    std::fputc('\n', file);
    std::fclose(file);
}

uint32_t stopThread(void*) {
    platform::sleepMilliseconds(static_cast<uint32_t>(std::atoi(std::getenv("VANTREL_HARNESS_STOP_AFTER"))));
    if (!stopViaSystemExit()) Config.ServiceSucceeded = 0;
    return 0;
}

uint32_t serviceWorker(void*) {
    Config.KeepStartDirectory = 0;
    Config.ServiceSucceeded = 1;
    bool ok = createJavaVm(VmUse::Primary);
    Config.ServiceSucceeded = ok;
    if (ok) {
        if (std::getenv("VANTREL_HARNESS_STOP_AFTER") != nullptr) platform::startThread(stopThread, nullptr);
        ArgumentVector arguments = splitArguments(Config.ServiceAppOptions);
        ok = invokeMainClass(arguments.count, arguments.items, false);
        Config.ServiceSucceeded = ok;
        if (!ok) std::exit(-1);
        shutdownJavaVm();
    }
    workerEnded = true;
    platform::signalEvent(Config.ServiceStopEvent);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platform::initLock(&eventsLock);
    platform::overrideEventLog(writeEvent);
    Config.ShowConsole = 1;
    loadEarlySettings();
    computeExtractionDirectory();
    if (!loadLauncherState(argc, argv)) return 1;

    Config.ServiceMode = 1;
    Config.ServiceStopEvent = platform::createEvent(false);
    if (Config.ServiceStopEvent == nullptr || platform::startThread(serviceWorker, nullptr) == nullptr) return 2;
    platform::waitForEvent(Config.ServiceStopEvent, kRunBoundMs);
    if (Config.ServiceSucceeded)
        reportInfo("%s", formatMessage(MsgServiceStopped, Config.ServiceName).text);
    else
        reportError("%s", formatMessage(MsgServiceFailed, Config.ServiceName).text);
    const char* noDone = std::getenv("VANTREL_HARNESS_NO_DONE");
    if (noDone == nullptr || std::strcmp(noDone, "1") != 0) Config.ServiceDone = 1;
    // When a hook signalled the stop, the hook ends the process with the
    // VM's status once it sees ServiceDone (or its bound has passed).
    if (!workerEnded) platform::sleepMilliseconds(kRunBoundMs);
    return 0;
}

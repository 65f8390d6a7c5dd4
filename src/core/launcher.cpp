#include "core/launcher.h"

#include <cstdlib>
#include <cstring>

#include "core/archives.h"
#include "core/class_data_cache.h"
#include "core/class_data_writer.h"
#include "core/config.h"
#include "core/environment.h"
#include "core/placeholders.h"
#include "core/rotation.h"
#include "core/text_buffer.h"
#include "java/invoke.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "runtime/jvm.h"
#include "service/service.h"
#include "vantrel_version.h"

namespace {

// The exit status of an install or uninstall that made no change.
constexpr int kServiceChangeFailed = 1;

bool equals(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

void deriveAppName(const char* exePath) {
    char path[kDirectoryCapacity];
    std::strncpy(path, exePath, sizeof(path) - 1);
    path[sizeof(path) - 1] = '\0';
    const char* nameStart = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (platform::isPathSeparator(*p)) nameStart = p + 1;
    // Only a '.' inside the file name ends the name: a dot in a directory
    // must not cut a launcher without extension.
    char* dot = std::strrchr(const_cast<char*>(nameStart), '.');
    if (dot != nullptr) *dot = '\0';
    std::strncpy(Config.AppName, nameStart, sizeof(Config.AppName) - 1);
    Config.AppName[sizeof(Config.AppName) - 1] = '\0';
}

// The forwarded second instance: SecondInstanceArguments split as a setting
// is, then the caller's arguments exactly as they came. They are not joined
// into one text and split again: the splitting rules cannot express every
// text (a backslash before a quote, or at an argument's end), and a blank
// would cut an argument in two.
int forwardSecondInstance(int argc, char** argv) {
    if (!createJavaVm(VmUse::Secondary)) return -1;
    ArgumentVector fixed = splitArguments(Config.SecondInstanceArguments);
    const int32_t count = fixed.count + (argc > 1 ? argc - 1 : 0);
    char** items = static_cast<char**>(std::calloc(count > 0 ? size_t(count) : 1, sizeof(char*)));
    if (items == nullptr) std::abort();
    for (int32_t i = 0; i < fixed.count; ++i) items[i] = fixed.items[i];
    for (int i = 1; i < argc; ++i) items[fixed.count + i - 1] = argv[i];
    trace("mode: forwarding %d arguments", int(count));
    if (invokeMainClass(count, items, true)) shutdownJavaVm();
    std::free(items);
    freeArgumentVector(&fixed);
    return 0;
}

// The start directory matters only under KeepStartDirectory: one that is
// merely too long for its buffer stays empty here, and is reported only by a
// launch that uses it. Any other failure to read it is reported at once.
bool readStartDirectory() {
    if (platform::currentDirectory(Config.StartDirectory, sizeof(Config.StartDirectory)) != 0) return true;
    const uint32_t error = platform::lastError();
    constexpr size_t kLongestDirectory = 32768;  // the longest path either platform has
    char* longer = static_cast<char*>(std::malloc(kLongestDirectory));
    if (longer == nullptr) std::abort();
    const bool tooLong = platform::currentDirectory(longer, kLongestDirectory) != 0;
    std::free(longer);
    platform::setLastError(error);
    return tooLong;
}

}  // namespace

void loadEarlySettings() {
    replaceText(&Config.MessageTexts[MsgFileAccess - 1], loadMessageString(MsgFileAccess));
    replaceText(&Config.EncodedMainClass, loadConfigString(IdMainClass));
    Config.ExtractLocation = loadConfigNumber(IdExtractLocation);
}

void applyServiceOverride(int argc, char** argv, int argumentsTaken) {
    if (!Config.ServiceCommandLineOverride) return;
    if (argumentsTaken >= 1 && argc > 2) replaceText(&Config.ServiceName, duplicateText(argv[2]));
    if (argumentsTaken >= 2 && argc > 3) replaceText(&Config.ServiceDescription, duplicateText(argv[3]));
    if (argumentsTaken >= 3 && argc > 4) Config.ServiceManualStart = std::atoi(argv[4]) == 0 ? 1 : 0;
    // Each argument taken replaced its setting.
    static const char* const kNames[] = {"ServiceName", "ServiceDescription", "ServiceManualStart"};
    for (int i = 0; i < argumentsTaken && i + 2 < argc; ++i)
        trace("setting %s from command-line argument \"%s\"", kNames[i], argv[i + 2]);
}

bool loadLauncherState(int argc, char** argv) {
    Config.ModeArgument = argc >= 2 ? argv[1] : nullptr;

    if (!readStartDirectory()) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_DIR").text);
        return false;
    }
    char exePath[kPathCapacity];
    if (platform::executablePath(exePath, sizeof(exePath)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_EXE").text);
        return false;
    }
    char folder[kPathCapacity];
    std::memcpy(folder, exePath, sizeof(folder));
    if (!cutAtLastSeparator(folder) || !platform::setCurrentDirectory(folder)) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, folder).text);
        return false;
    }
    deriveAppName(exePath);
    trace("start: \"%s\", AppName \"%s\", started in \"%s\"", exePath, Config.AppName, Config.StartDirectory);
    loadConfiguration();
    traceSettings();
    return true;
}

namespace {

// Why a first argument that looks like a service switch is none.
void traceSwitchWithoutService(const char* mode) {
    if (equals(mode, Config.InstallSwitch) || equals(mode, Config.UninstallSwitch) ||
        equals(mode, Config.ServiceSwitch))
        trace("mode: \"%s\" goes to main: ServiceName is empty", mode);
}

int runLauncher(int argc, char** argv) {
    Config.ShowConsole = 1;
    loadEarlySettings();
    computeExtractionDirectory();

    if (argc == 3 && equals(argv[1], kCleanupSwitch)) {
        trace("mode: cleanup after process %s", argv[2]);
        runCleanupMode(argv[2]);
        return 0;
    }
    if (argc == 5 && equals(argv[1], kClassDataWriterSwitch)) {
        trace("mode: class-data writer after process %s", argv[2]);
        runClassDataWriter(argv[2], argv[3], argv[4]);
        return 0;
    }
    if (argc == 3 && equals(argv[1], kClassDataDumpSwitch)) {
        trace("mode: class-data dump \"%s\"", argv[2]);
        return runClassDataDump(argv[2]);
    }

    if (!loadLauncherState(argc, argv)) return 0;

    const char* mode = Config.ModeArgument;
    // A launch of the application (not an installation) sets its variables
    // here, on the only thread, before the runtime search.
    if (!equals(mode, Config.InstallSwitch) && !equals(mode, Config.UninstallSwitch)) {
        extractArchives();
        applyEnvironment();
    }

    if (Config.ServiceName[0] != '\0') {
        if (equals(mode, Config.InstallSwitch)) {
            trace("mode: install");
            applyServiceOverride(argc, argv, 3);
            // Scripts and installers read the exit status: 0 only when the
            // service was installed.
            int state = queryServiceInstalled(Config.ServiceName);
            if (state < 0) {
                reportLastError();
            } else if (state > 0) {
                reportError("%s", formatMessage(MsgServiceExists, Config.ServiceName).text);
            } else if (installService(Config.ServiceName, Config.ServiceDescription) == 0) {
                reportInfo("%s", formatMessage(MsgServiceInstalled, Config.ServiceName).text);
                return 0;
            }
            return kServiceChangeFailed;
        }
        if (equals(mode, Config.UninstallSwitch)) {
            trace("mode: uninstall");
            applyServiceOverride(argc, argv, 1);
            if (uninstallService(Config.ServiceName) != 0) return kServiceChangeFailed;
            reportInfo("%s", formatMessage(MsgServiceUninstalled, Config.ServiceName).text);
            return 0;
        }
        if (equals(mode, Config.ServiceSwitch)) {
            applyServiceOverride(argc, argv, 3);
            trace("mode: service \"%s\"", Config.ServiceName);
            Config.ServiceMode = 1;
            return runServiceDispatcher();
        }
        if (Config.ServiceOnly) {
            trace("mode: refused (ServiceOnly)");
            reportInfo("%s", formatMessage(MsgServiceOnly).text);
            return 0;
        }
    } else if (traceOn()) {
        traceSwitchWithoutService(mode);
    }

    if (!Config.AllowMultipleInstances) {
        if (platform::namedMutexExists(Config.AppMutex)) {
            trace("mode: second instance of \"%s\"", Config.AppMutex);
            if (!Config.ForwardSecondInstance) {
                reportError("%s", formatMessage(MsgAlreadyRunning).text);
                return 0;
            }
            return forwardSecondInstance(argc, argv);
        }
        // Without the lock a second instance could not see this one: better
        // not to start than to run unguarded.
        if (!platform::createNamedMutex(Config.AppMutex)) {
            reportErrorWithReason("Cannot create the single-instance lock \"%s\".", Config.AppMutex);
            return 0;
        }
        Config.InstanceMutexHeld = true;
        trace("mode: single instance \"%s\"", Config.AppMutex);
    }

    if (!Config.ShowConsole) hideConsoleWindow();

    trace("mode: normal launch");
    if (!createJavaVm(VmUse::Primary)) return -1;
    if (!invokeMainClass(argc - 1, argv + 1, false)) {
        finishClassDataCache(false);
        trace("exit: status -1 (main failed)");
        endRotatedOutputs();
        std::exit(-1);
    }
    shutdownJavaVm();
    endRotatedOutputs();
    return 0;
}

}  // namespace

int launcherMain(int argc, char** argv) {
    // A report to a closed stream is lost, never fatal.
    platform::ignoreBrokenPipes();
    traceStart();
    trace("start: vantrel %s, %d arguments", VANTREL_VERSION, argc - 1);
    const int status = runLauncher(argc, argv);
    trace("exit: status %d", status);
    return status;
}

// Test probe: the real launcher (launcherMain and everything it calls), packed
// like a launcher, whose ends towards the outside world print the record that
// start-up built, one "Name=value" line at a time (backslash and line feed
// escaped), instead of talking to a service manager or creating a VM:
//   install, uninstall, service  the service module's operations;
//   vm                           createJavaVm: the normal launch, or a
//                                forwarding second instance ("vm-secondary").
// "ProbeEnd" names the end that was reached. The run then ends as the
// launcher would end it (install: message 14; the VM end exits with 0).
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/launcher_config.h"
#include "core/launcher.h"
#include "platform/platform.h"
#include "runtime/jvm.h"
#include "service/service.h"

namespace {

void printValue(const char* name, const char* value) {
    std::printf("%s=", name);
    for (const char* p = value != nullptr ? value : ""; *p != '\0'; ++p) {
        if (*p == '\\') std::fputs("\\\\", stdout);
        else if (*p == '\n') std::fputs("\\n", stdout);
        else std::putchar(*p);
    }
    std::putchar('\n');
}

void printNumber(const char* name, long value) { std::printf("%s=%ld\n", name, value); }

void printRecord(const char* end) {
    printValue("ProbeEnd", end);
    const LauncherConfig& c = Config;
    const std::pair<const char*, const char*> texts[] = {
        {"JvmVersion", c.JvmVersion}, {"JvmPath", c.JvmPath}, {"JvmOptions", c.JvmOptions},
        {"ClassPath", c.ClassPath}, {"JvmSearchOrder", c.JvmSearchOrder}, {"InstallSwitch", c.InstallSwitch},
        {"UninstallSwitch", c.UninstallSwitch}, {"ServiceSwitch", c.ServiceSwitch},
        {"WorkingDirectory", c.WorkingDirectory}, {"MainClass", c.MainClass}, {"AppOptions", c.AppOptions},
        {"SettingsFile", c.SettingsFile}, {"ServiceName", c.ServiceName},
        {"ServiceDescription", c.ServiceDescription}, {"ServiceAppOptions", c.ServiceAppOptions},
        {"ServiceStopArguments", c.ServiceStopArguments}, {"ServiceDependencies", c.ServiceDependencies},
        {"StdOutFile", c.StdOutFile}, {"StdErrFile", c.StdErrFile}, {"StaticOptions", c.StaticOptions},
        {"SecondInstanceArguments", c.SecondInstanceArguments}, {"JvmNotFoundDocument", c.JvmNotFoundDocument},
        {"JvmNotFoundCommand", c.JvmNotFoundCommand}, {"AppMutex", c.AppMutex},
        {"EncodedMainClass", c.EncodedMainClass}, {"AppName", c.AppName}, {"StartDirectory", c.StartDirectory},
        {"ExtractionDirectory", c.ExtractionDirectory}, {"ModeArgument", c.ModeArgument},
        {"ServiceAccount", c.ServiceAccount}, {"Environment", c.Environment},
        {"ServiceDisplayName", c.ServiceDisplayName}};
    for (const auto& [name, value] : texts) printValue(name, value);
    const std::pair<const char*, long> numbers[] = {
        {"RemoveExtractedFiles", c.RemoveExtractedFiles}, {"ExtractLocation", c.ExtractLocation},
        {"EarlyWorkingDirectory", c.EarlyWorkingDirectory}, {"KeepStartDirectory", c.KeepStartDirectory},
        {"ServiceStopByExit", c.ServiceStopByExit}, {"ServiceManualStart", c.ServiceManualStart},
        {"ServiceInteractive", c.ServiceInteractive}, {"StdOutMode", c.StdOutMode},
        {"StdErrMode", c.StdErrMode}, {"AllowMultipleInstances", c.AllowMultipleInstances},
        {"ServiceOnly", c.ServiceOnly}, {"ServiceCommandLineOverride", c.ServiceCommandLineOverride},
        {"ForwardSecondInstance", c.ForwardSecondInstance},
        {"ShowJvmNotFoundMessage", c.ShowJvmNotFoundMessage}, {"StdOutFileAppend", c.StdOutFileAppend},
        {"StdErrFileAppend", c.StdErrFileAppend}, {"ShowConsole", c.ShowConsole},
        {"ServiceMode", c.ServiceMode.load()}, {"ExtractedFileCount", c.ExtractedFileCount},
        {"ServiceRestart", c.ServiceRestart}, {"ServiceRestartDelay", c.ServiceRestartDelay},
        {"OutputFileLimit", c.OutputFileLimit}, {"OutputFileCount", c.OutputFileCount},
        {"ServiceStopTimeout", c.ServiceStopTimeout}, {"ServiceDelayedStart", c.ServiceDelayedStart}};
    for (const auto& [name, value] : numbers) printNumber(name, value);
    char directory[kDirectoryCapacity];
    printValue("CurrentDirectory", platform::currentDirectory(directory, sizeof(directory)) ? directory : "");
    printNumber("PriorityIndex", platform::currentPriorityIndex());
    for (int id = 1; id <= kMessageCount; ++id) {
        char name[32];
        std::snprintf(name, sizeof(name), "Message%d", id);
        printValue(name, c.MessageTexts[id - 1]);
    }
    std::fflush(stdout);
}

}  // namespace

int queryServiceInstalled(const char*) { return 0; }

int installService(const char*, const char*) {
    printRecord("install");
    return 0;
}

int uninstallService(const char*) {
    printRecord("uninstall");
    return 0;
}

int runServiceDispatcher() {
    printRecord("service");
    return 0;
}

bool createJavaVm(VmUse use) {
    printRecord(use == VmUse::Primary ? "vm" : "vm-secondary");
    std::exit(0);
}

int runClassDataDump(const char*) { return 1; }

int main(int argc, char** argv) { return launcherMain(argc, argv); }

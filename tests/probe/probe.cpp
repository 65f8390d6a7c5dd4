// Test probe: runs the launcher's start-up up to the configuration and the
// unpacking of the archives, exactly as the launcher does, and prints the
// resulting record one "Name=value" line at a time (backslash and line feed
// escaped) so that tests can read it.
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/archives.h"
#include "core/config.h"
#include "core/launcher.h"
#include "core/settings_table.h"
#include "platform/platform.h"

static void printValue(const char* name, const char* value) {
    std::printf("%s=", name);
    for (const char* p = value != nullptr ? value : ""; *p != '\0'; ++p) {
        if (*p == '\\') std::fputs("\\\\", stdout);
        else if (*p == '\n') std::fputs("\\n", stdout);
        else std::putchar(*p);
    }
    std::putchar('\n');
}

static void printNumber(const char* name, long value) { std::printf("%s=%ld\n", name, value); }

int main(int argc, char** argv) {
    Config.ShowConsole = 1;
    loadEarlySettings();
    computeExtractionDirectory();
    if (!loadLauncherState(argc, argv)) return 1;
    // Options that a test asks for are applied as the launcher would.
    if (argc > 1 && std::strcmp(argv[1], "--override-install") == 0) applyServiceOverride(argc, argv, 3);
    if (argc > 1 && std::strcmp(argv[1], "--override-uninstall") == 0) applyServiceOverride(argc, argv, 1);
    extractArchives();

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
        {"ExtractionDirectory", c.ExtractionDirectory}};
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
        {"ExtractedFileCount", c.ExtractedFileCount}};
    for (const auto& [name, value] : numbers) printNumber(name, value);
    char directory[kDirectoryCapacity];
    printValue("CurrentDirectory", platform::currentDirectory(directory, sizeof(directory)) ? directory : "");
    printNumber("PriorityIndex", platform::currentPriorityIndex());
    for (int id = 1; id <= kMessageCount; ++id) {
        char name[32];
        std::snprintf(name, sizeof(name), "Message%d", id);
        printValue(name, c.MessageTexts[id - 1]);
    }
    return 0;
}

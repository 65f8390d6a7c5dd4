// Test probe: runs the launcher's start-up up to the configuration, exactly as
// the launcher does, and prints the resulting record one "Name=value" line
// at a time (backslash and line feed escaped) so that tests can read it.
#include <cstdio>
#include <cstring>

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
    replaceText(&Config.MessageTexts[MsgFileAccess - 1], loadMessageString(MsgFileAccess));
    replaceText(&Config.EncodedMainClass, loadConfigString(IdMainClass));
    Config.ExtractLocation = loadConfigNumber(IdExtractLocation);
    computeExtractionDirectory();
    if (!loadLauncherState(argc, argv)) return 1;
    // Options that a test asks for are applied as the launcher would.
    if (argc > 1 && std::strcmp(argv[1], "--override-install") == 0) applyServiceOverride(argc, argv, 3);
    if (argc > 1 && std::strcmp(argv[1], "--override-uninstall") == 0) applyServiceOverride(argc, argv, 1);

    const LauncherConfig& c = Config;
    printValue("JvmVersion", c.JvmVersion);
    printValue("JvmPath", c.JvmPath);
    printValue("JvmOptions", c.JvmOptions);
    printValue("ClassPath", c.ClassPath);
    printValue("JvmSearchOrder", c.JvmSearchOrder);
    printNumber("RemoveExtractedFiles", c.RemoveExtractedFiles);
    printNumber("ExtractLocation", c.ExtractLocation);
    printValue("InstallSwitch", c.InstallSwitch);
    printValue("UninstallSwitch", c.UninstallSwitch);
    printValue("ServiceSwitch", c.ServiceSwitch);
    printValue("WorkingDirectory", c.WorkingDirectory);
    printValue("MainClass", c.MainClass);
    printValue("AppOptions", c.AppOptions);
    printValue("SettingsFile", c.SettingsFile);
    printNumber("EarlyWorkingDirectory", c.EarlyWorkingDirectory);
    printNumber("KeepStartDirectory", c.KeepStartDirectory);
    printValue("ServiceName", c.ServiceName);
    printValue("ServiceDescription", c.ServiceDescription);
    printValue("ServiceAppOptions", c.ServiceAppOptions);
    printValue("ServiceStopArguments", c.ServiceStopArguments);
    printNumber("ServiceStopByExit", c.ServiceStopByExit);
    printNumber("ServiceManualStart", c.ServiceManualStart);
    printNumber("ServiceInteractive", c.ServiceInteractive);
    printValue("ServiceDependencies", c.ServiceDependencies);
    printNumber("StdOutMode", c.StdOutMode);
    printNumber("StdErrMode", c.StdErrMode);
    printValue("StdOutFile", c.StdOutFile);
    printValue("StdErrFile", c.StdErrFile);
    printNumber("AllowMultipleInstances", c.AllowMultipleInstances);
    printNumber("ServiceOnly", c.ServiceOnly);
    printValue("StaticOptions", c.StaticOptions);
    printNumber("ServiceCommandLineOverride", c.ServiceCommandLineOverride);
    printNumber("ForwardSecondInstance", c.ForwardSecondInstance);
    printValue("SecondInstanceArguments", c.SecondInstanceArguments);
    printNumber("ShowJvmNotFoundMessage", c.ShowJvmNotFoundMessage);
    printValue("JvmNotFoundDocument", c.JvmNotFoundDocument);
    printValue("JvmNotFoundCommand", c.JvmNotFoundCommand);
    printNumber("StdOutFileAppend", c.StdOutFileAppend);
    printNumber("StdErrFileAppend", c.StdErrFileAppend);
    printValue("AppMutex", c.AppMutex);
    printNumber("ShowConsole", c.ShowConsole);
    printValue("EncodedMainClass", c.EncodedMainClass);
    printValue("AppName", c.AppName);
    printValue("StartDirectory", c.StartDirectory);
    printValue("ExtractionDirectory", c.ExtractionDirectory);
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

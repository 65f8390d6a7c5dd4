#include "core/settings_table.h"

#include <cstring>

const unsigned char kMainClassKey[17] = {'T', 'b', '4', 'w', 'Q', '8', '1', 'Z', 'r',
                                         '6', 'Y', 'a', '0', 'P', 'k', '7', 0};

const SettingInfo kSettings[] = {
    {1001, "JvmVersion", SettingKind::Text, "1.8", "minimum Java runtime version(s), ';'-separated"},
    {1002, "JvmPath", SettingKind::Text, "", "jvm library candidates, ';'-separated (search method 0)"},
    {1003, "JvmOptions", SettingKind::Text, "-Xmx1024M", "virtual-machine options"},
    {1004, "ClassPath", SettingKind::Text, "", "class path entries, ';'-separated"},
    {1005, "JvmSearchOrder", SettingKind::Text, "501234", "runtime search methods, one digit each"},
    {1006, "RemoveExtractedFiles", SettingKind::Flag, "0", "remove unpacked archives after exit"},
    {1007, "ExtractLocation", SettingKind::Number, "2", "0 exe folder, 1 subfolder, 2 temp folder"},
    {1008, "InstallSwitch", SettingKind::Text, "-install", "switch that installs the service"},
    {1009, "UninstallSwitch", SettingKind::Text, "-uninstall", "switch that removes the service"},
    {1010, "ServiceSwitch", SettingKind::Text, "-startlauncherinservicemode", "switch the service starts with"},
    {1011, "WorkingDirectory", SettingKind::Text, "", "working directory of the application"},
    {1012, "MainClass", SettingKind::ScrambledText, "Main", "main class (dotted form)"},
    {1013, "AppOptions", SettingKind::Text, "", "arguments used when the command line has none"},
    {1014, "SettingsFile", SettingKind::Text, "", "settings file name template (%APPNAME%)"},
    {1015, "EarlyWorkingDirectory", SettingKind::Flag, "0", "change directory before loading the runtime"},
    {1016, "KeepStartDirectory", SettingKind::Flag, "0", "keep the start directory as working directory"},
    {1017, "ServiceName", SettingKind::Text, "", "service name; empty disables the service switches"},
    {1018, "ServiceDescription", SettingKind::Text, "", "service description"},
    {1019, "ServiceAppOptions", SettingKind::Text, "", "arguments of main in service mode"},
    {1020, "ServiceStopArguments", SettingKind::Text, "", "arguments of the stop invocation"},
    {1021, "ServiceStopByExit", SettingKind::Flag, "0", "stop the service through System.exit"},
    {1022, "ServiceManualStart", SettingKind::Flag, "0", "install with demand start"},
    {1023, "ServiceInteractive", SettingKind::Flag, "0", "service may interact with the desktop"},
    {1024, "ServiceDependencies", SettingKind::Text, "", "service dependencies, ';'-separated"},
    {1025, "StdOutMode", SettingKind::Number, "0", "0 unchanged, 1 file, 2 captured"},
    {1026, "StdErrMode", SettingKind::Number, "0", "0 unchanged, 1 file, 2 captured"},
    {1027, "StdOutFile", SettingKind::Text, "system.log", "standard output file"},
    {1028, "StdErrFile", SettingKind::Text, "systemerr.log", "standard error file"},
    {1029, "AllowMultipleInstances", SettingKind::Flag, "1", "no single-instance check"},
    {1030, "Reserved1030", SettingKind::Text, "", "written for compatibility, ignored"},
    {1031, "Reserved1031", SettingKind::Flag, "0", "written for compatibility, ignored"},
    {1032, "Reserved1032", SettingKind::Number, "0", "written for compatibility, ignored"},
    {1033, "ProcessPriority", SettingKind::Number, "3", "priority class 0 (realtime) .. 5 (idle)"},
    {1034, "ServiceOnly", SettingKind::Flag, "0", "refuse to run except as a service"},
    {1035, "StaticOptions", SettingKind::Text, "", "arguments always passed first to main"},
    {1036, "ServiceCommandLineOverride", SettingKind::Flag, "0", "command line may override service settings"},
    {1037, "ForwardSecondInstance", SettingKind::Flag, "0", "second instance calls main itself"},
    {1038, "SecondInstanceArguments", SettingKind::Text, "", "arguments placed first for a second instance"},
    {1039, "ShowJvmNotFoundMessage", SettingKind::Flag, "1", "report when no runtime is found"},
    {1040, "JvmNotFoundDocument", SettingKind::Text, "", "document opened when no runtime is found"},
    {1041, "JvmNotFoundCommand", SettingKind::Text, "", "command run when no runtime is found"},
    {1042, "StdOutFileAppend", SettingKind::Flag, "0", "append to the standard output file"},
    {1043, "StdErrFileAppend", SettingKind::Flag, "0", "append to the standard error file"},
};

const unsigned kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

const char* const kBuiltInMessages[21] = {
    "An instance of this program is already running.",
    "Error accessing file/directory: %s",
    "Error writing to file/directory: %s",
    "Unable to locate suitable Java Runtime (min %s) on this machine.",
    "Unable to load JVM: %s",
    "Unable to locate JNI interfaces in %s",
    "Unable to create JVM instance using %s",
    "Unable to attach thread to the JVM.",
    "Error locating class: %s",
    "Error locating method: %s",
    "Error instantiating object: %s",
    "Error assigning string argument: %s",
    "Error invoking method: %s",
    "Service installed: %s",
    "Service uninstalled: %s",
    "Service is already installed: %s",
    "The %s service has started.",
    "The %s service has stopped.",
    "The %s service failed to start.",
    "The %s service has timed out during a stop request and will be terminated.",
    "This program can only be run as a service.",
};

const SettingInfo* findSettingByName(const char* name) {
    for (unsigned i = 0; i < kSettingCount; ++i)
        if (std::strcmp(kSettings[i].name, name) == 0) return &kSettings[i];
    return nullptr;
}

const SettingInfo* findSettingById(unsigned id) {
    for (unsigned i = 0; i < kSettingCount; ++i)
        if (kSettings[i].id == id) return &kSettings[i];
    return nullptr;
}

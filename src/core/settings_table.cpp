#include "core/settings_table.h"

#include <cstring>

namespace {

constexpr SettingKind Text = SettingKind::Text;
constexpr SettingKind Flag = SettingKind::Flag;
constexpr SettingKind Number = SettingKind::Number;
constexpr Placeholders Plain = Placeholders::None;
constexpr Placeholders Expanded = Placeholders::Expanded;
constexpr Placeholders EachArgument = Placeholders::EachArgument;

constexpr const char* kReplaces = "replaces it";
constexpr const char* kExactlyOne = "\"1\" sets it, any other value clears it";
constexpr const char* kNumberReplaces = "replaces it (read as a packed number is)";
constexpr const char* kIgnored = "written for compatibility; the launcher ignores it";

}  // namespace

const SettingInfo kSettings[] = {
    {1001, "JvmVersion", SettingKind::Version, "1.8",
     "lowest Java version accepted, checked against every runtime found (the version of a registry entry, and the "
     "JAVA_VERSION of the runtime's release file where it has one); ';'-separated requirements with >, >=, =, <, <= "
     "(>= when none is written), all of which must hold, e.g. 11;<22",
     Plain, kReplaces},
    {1002, "JvmPath", Text, "",
     "runtime libraries (jvm.dll; libjvm.so on Linux) tried by search method 0, ';'-separated, the first readable "
     "one wins; relative to the executable's folder",
     Plain, kReplaces},
    {1003, "JvmOptions", Text, "-Xmx1024M",
     "options for the Java VM, separated by blanks; double quotes group words, a backslash protects a quote",
     Expanded, kReplaces},
    {1004, "ClassPath", Text, "",
     "class path entries, ';'-separated, relative to the executable's folder; a directory adds every .jar and .zip "
     "below it; unpacked archives are added at the end. An entry with a placeholder is not searched for archives",
     Expanded, nullptr},
    {1005, "JvmSearchOrder", Text, "501234",
     "where to look for a Java runtime: one digit per search method, tried left to right (see below)", Plain,
     nullptr},
    {1006, "RemoveExtractedFiles", Flag, "0", "delete the unpacked archives once the application has ended", Plain,
     nullptr},
    {1007, "ExtractLocation", Number, "2",
     "where embedded archives are unpacked: 0 the executable's folder, 1 a subfolder of it, 2 the user's own "
     "folder (Linux: ~/.cache/vantrel; a launcher reads any other number as 2)",
     Plain, nullptr, 0, 2},
    {1008, "InstallSwitch", Text, "-install", "first argument that installs the service", Plain, nullptr},
    {1009, "UninstallSwitch", Text, "-uninstall", "first argument that removes the service", Plain, nullptr},
    {1010, "ServiceSwitch", Text, "-startlauncherinservicemode",
     "first argument the service manager starts the launcher with", Plain, nullptr},
    {1011, "WorkingDirectory", Text, "",
     "directory made current for the application; empty keeps the executable's folder", Plain, nullptr},
    {1012, "MainClass", SettingKind::ScrambledText, "Main",
     "the class whose public static void main(String[]) runs, in dotted form (com.example.Main)", Plain, nullptr},
    {1013, "AppOptions", Text, "",
     "arguments for main when the command line has none (split like JvmOptions)", EachArgument, kReplaces},
    {1014, "SettingsFile", Text, "",
     "name of the optional settings file beside the executable, e.g. %APPNAME%.ini; empty: no settings file",
     Placeholders::AppNameOnly, nullptr},
    {1015, "EarlyWorkingDirectory", Flag, "0",
     "make WorkingDirectory current before the runtime is searched, so relative JvmPath and ClassPath entries "
     "start there",
     Plain,
     nullptr},
    {1016, "KeepStartDirectory", Flag, "0",
     "run the application in the directory the launcher was started from instead of WorkingDirectory", Plain,
     nullptr},
    {1017, "ServiceName", Text, "",
     "name of the Windows service (of the systemd unit on Linux); empty turns the three service switches off",
     Plain, nullptr},
    {1018, "ServiceDescription", Text, "", "description of the installed service", Plain, nullptr},
    {1019, "ServiceAppOptions", Text, "", "arguments for main when running as a service", Plain, nullptr},
    {1020, "ServiceStopArguments", Text, "",
     "arguments of the second call of main that asks the application to stop (when ServiceStopByExit is 0)", Plain,
     nullptr},
    {1021, "ServiceStopByExit", Flag, "0", "stop the service through System.exit instead of a second call of main",
     Plain, nullptr},
    {1022, "ServiceManualStart", Flag, "0", "install the service for manual start instead of automatic start",
     Plain, nullptr},
    {1023, "ServiceInteractive", Flag, "0", "install a service that may interact with the desktop (Windows)", Plain,
     nullptr},
    {1024, "ServiceDependencies", Text, "",
     "services that must run before this one, ';'-separated (on Linux units: a name without a unit type such as "
     ".target gets .service)",
     Plain, nullptr},
    {1025, "StdOutMode", Number, "0",
     "Java's standard output: 0 unchanged, 1 into StdOutFile, 2 captured for the error reports of a service",
     Plain, nullptr, 0, 2},
    {1026, "StdErrMode", Number, "0",
     "Java's standard error: 0 unchanged, 1 into StdErrFile, 2 captured for the error reports of a service", Plain,
     nullptr, 0, 2},
    {1027, "StdOutFile", Text, "system.log",
     "file for standard output when StdOutMode is 1; missing folders on its path are created", Expanded,
     "replaces it and sets StdOutMode to 1"},
    {1028, "StdErrFile", Text, "systemerr.log",
     "file for standard error when StdErrMode is 1; missing folders on its path are created", Expanded,
     "replaces it and sets StdErrMode to 1"},
    {1029, "AllowMultipleInstances", Flag, "1",
     "allow any number of running instances; 0 keeps one instance per AppMutex", Plain, nullptr},
    {1030, "Reserved1030", Text, "", kIgnored, Plain, nullptr},
    {1031, "Reserved1031", Flag, "0", kIgnored, Plain, nullptr},
    {1032, "Reserved1032", Number, "0", kIgnored, Plain, nullptr},
    {1033, "ProcessPriority", Number, "3",
     "priority of the process: 0 realtime, 1 high, 2 above normal, 3 normal, 4 below normal, 5 idle (nice -20, "
     "-10, -5, 0, 5, 19 on Linux), set even when the launcher was started with another; -1 keeps the priority it "
     "was started with (as a launcher reads any other number)",
     Plain, nullptr, -1, 5},
    {1034, "ServiceOnly", Flag, "0", "refuse to run except as a service (message 21)", Plain, nullptr},
    {1035, "StaticOptions", Text, "", "arguments always passed first to main", EachArgument, kReplaces},
    {1036, "ServiceCommandLineOverride", Flag, "0",
     "let the arguments after the install, uninstall or service switch override the service name, description "
     "and start type",
     Plain, nullptr},
    {1037, "ForwardSecondInstance", Flag, "0",
     "a second instance calls main itself with its arguments instead of reporting message 1", Plain, nullptr},
    {1038, "SecondInstanceArguments", Text, "",
     "arguments placed before the command-line arguments of a forwarded second instance (split like AppOptions; "
     "the command-line arguments follow exactly as given)",
     Plain, nullptr},
    {1039, "ShowJvmNotFoundMessage", Flag, "1", "report message 4 when no runtime is found", Plain, nullptr},
    {1040, "JvmNotFoundDocument", Text, "", "document or web address opened when no runtime is found", Plain,
     nullptr},
    {1041, "JvmNotFoundCommand", Text, "", "command run when no runtime is found", Plain, nullptr},
    {1042, "StdOutFileAppend", Flag, "0", "append to StdOutFile instead of replacing it", Plain, kExactlyOne},
    {1043, "StdErrFileAppend", Flag, "0", "append to StdErrFile instead of replacing it", Plain, kExactlyOne},
    {1101, "ClassDataCache", Flag, "0",
     "keep a class-data cache of the application in the user's cache folder (Java 17 and later): the first start "
     "records the classes it loads, a copy of the launcher builds the cache from them in the background once that "
     "start has ended, later starts map the classes from it (see docs/faster-starts.md)",
     Plain, nullptr},
    // What operators set for a service, and where a long-running
    // application's output and environment come from.
    {1105, "ServiceRestart", Number, "0",
     "what the service manager does when the service fails (a failed start, main throwing, a forced stop, a VM "
     "abort, a System.exit status other than 0): 0 nothing, 1 restart it after ServiceRestartDelay (Windows: "
     "failure actions that also count a failure exit code; Linux: Restart=on-failure); set at installation",
     Plain, kNumberReplaces, 0, 1},
    {1106, "ServiceRestartDelay", Number, "10",
     "seconds the service manager waits before it restarts a failed service (ServiceRestart 1; Linux: RestartSec=)",
     Plain, kNumberReplaces, 0, 86400},
    {1107, "ServiceAccount", Text, "",
     "account the installed service runs as, with no password stored: Windows LocalSystem, NT "
     "AUTHORITY\\LocalService, NT AUTHORITY\\NetworkService or NT SERVICE\\ followed by ServiceName (the "
     "service's virtual account); Linux a user or user:group (User= and Group=); empty: LocalSystem (Linux: root)",
     Plain, kReplaces},
    {1108, "Environment", Text, "",
     "environment variables set before the runtime search, for the search (JAVA_HOME), the VM and the "
     "application: NAME=value pairs separated by blanks (double quotes around a pair whose value holds blanks), "
     "each expanded once the pairs before it are set; NAME is letters, digits and _; an empty value removes the "
     "variable",
     EachArgument, kReplaces},
    {1109, "OutputFileLimit", Number, "0",
     "size in KB at which StdOutFile and StdErrFile (mode 1) are renamed to NAME.1 (an older NAME.1 to NAME.2, "
     "...) and begun anew, always between two lines; the output then goes through the launcher; 0: no limit",
     Plain, kNumberReplaces, 0, 2097151},
    {1110, "OutputFileCount", Number, "5",
     "old files kept beside a StdOutFile or StdErrFile renamed at OutputFileLimit (NAME.1 the newest); 0 keeps "
     "none",
     Plain, kNumberReplaces, 0, 99},
    {1111, "ServiceStopTimeout", Number, "30",
     "seconds a stop request (or a Windows shutdown) may take before the service's stop is forced; the service "
     "manager's wait hint, the pre-shutdown timeout and the unit's TimeoutStopSec= allow 10 s more (a launcher "
     "reads a number outside 1 to 3600 as 30)",
     Plain, kNumberReplaces, 1, 3600},
    {1112, "ServiceDisplayName", Text, "",
     "the name Windows shows for the service (Services, sc's DISPLAY_NAME); empty: ServiceName", Plain, nullptr},
    {1113, "ServiceDelayedStart", Flag, "0",
     "start the automatic Windows service after the other automatic ones (delayed automatic start); nothing for "
     "a manual start or on Linux",
     Plain, kExactlyOne},
    // What Windows shows of the executable: its version information and the
    // manifest, which the packer writes from these (a Linux launcher has no
    // use for them).
    {1125, "FileVersion", Text, "1.0.0.0",
     "file version in the executable's version information (Windows): one to four numbers from 0 to 65535, "
     "e.g. 1.4.2 or 1.4.2.7; missing numbers are 0",
     Plain, nullptr},
    {1126, "ProductVersion", Text, "", "product version in the version information, in the same form; empty: FileVersion",
     Plain, nullptr},
    {1127, "CompanyName", Text, "", "company named in the version information; empty: none", Plain, nullptr},
    {1128, "ProductName", Text, "",
     "product name in the version information, and the title of the windowed launcher's message boxes; empty: "
     "the executable's name without extension",
     Plain, nullptr},
    {1129, "FileDescription", Text, "",
     "description in the version information, which Task Manager and the taskbar show; empty: ProductName", Plain,
     nullptr},
    {1130, "LegalCopyright", Text, "", "copyright notice in the version information; empty: none", Plain, nullptr},
    {1131, "OriginalFilename", Text, "",
     "original file name in the version information; empty: the packed executable's file name", Plain, nullptr},
    {1132, "InternalName", Text, "",
     "internal name in the version information; empty: the executable's name without extension", Plain, nullptr},
    {1133, "Comments", Text, "", "comments in the version information; empty: none", Plain, nullptr},
    {1134, "ExecutionLevel", Text, "",
     "rights the executable asks Windows for in its manifest: asInvoker, highestAvailable or requireAdministrator; "
     "empty: the stub's manifest stays (asInvoker)",
     Plain, nullptr},
    {1135, "DpiAwareness", Text, "",
     "DPI awareness declared in the manifest: unaware, system or permonitorv2 (Windows draws an unaware "
     "application's windows scaled, hence blurred); empty: the stub's manifest stays (unaware)",
     Plain, nullptr},
};

const unsigned kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

const SettingInfo kFileOnlySettings[] = {
    {0, "JvmOptionsAppend", Text, "", "more options for the Java VM, added to JvmOptions", Plain,
     "JvmOptions becomes its text, a blank and the value (after the JvmOptions key)"},
    {0, "AppMutex", Text, nullptr,
     "name of the single-instance lock (when AllowMultipleInstances is 0); by default the main class", Plain,
     kReplaces},
    {0, "ShowConsole", Flag, "1",
     "show the console window; 0 hides it for a normal launch (Windows; nothing to hide on Linux)", Plain,
     "\"0\" clears it, \"1\" sets it, any other value leaves it"},
};

const unsigned kFileOnlySettingCount = sizeof(kFileOnlySettings) / sizeof(kFileOnlySettings[0]);

const MessageInfo kMessages[21] = {
    {"An instance of this program is already running.", false,
     "another instance holds the single-instance lock and ForwardSecondInstance is 0"},
    {"Error accessing file/directory: %s", false,
     "the temporary folder (TEMP_PATH), the current directory (CURRENT_DIR), the executable's own path "
     "(CURRENT_EXE) or a directory to be made current cannot be reached; the system's reason follows"},
    {"Error writing to file/directory: %s", false,
     "an embedded archive (%s) cannot be written out or its time stamp cannot be set; the system's reason "
     "follows"},
    {"Unable to locate suitable Java Runtime (min %s) on this machine.", false,
     "no search method of JvmSearchOrder found a runtime (%s is JvmVersion), unless ShowJvmNotFoundMessage is 0; "
     "JvmNotFoundDocument and JvmNotFoundCommand run next"},
    {"Unable to load JVM: %s", false, "the chosen runtime library cannot be loaded (%s is its path)"},
    {"Unable to locate JNI interfaces in %s", false,
     "the chosen library (%s) is no Java runtime: it lacks the JNI Invocation API entry points"},
    {"Unable to create JVM instance using %s", false,
     "the Java VM of the library %s refused to start, for example over an unknown option in JvmOptions or too "
     "little memory"},
    {"Unable to attach thread to the JVM.", false, "a thread of the launcher cannot join the running VM"},
    {"Error locating class: %s", false, "the class %s (MainClass, or one the launcher uses) is not on the class path"},
    {"Error locating method: %s", false, "the method %s is missing: MainClass has no public static void main(String[])"},
    {"Error instantiating object: %s", false, "an object of type %s (a string or the argument array) cannot be created"},
    {"Error assigning string argument: %s", false, "the argument %s cannot be stored in the argument array"},
    {"Error invoking method: %s", false,
     "the method %s ended with an exception: main threw (its stack trace comes first), or a system property "
     "cannot be set"},
    {"Service installed: %s", true, "the service was installed (%s is ServiceName)"},
    {"Service uninstalled: %s", true, "the service %s was removed"},
    {"Service is already installed: %s", false, "installation was asked for the service %s, which exists"},
    {"The %s service has started.", true,
     "the service %s runs: its VM exists and main is being called (see [Service ends](#service-ends))"},
    {"The %s service has stopped.", true, "the service %s ended cleanly, or a stop came before main was called"},
    {"The %s service failed to start.", false,
     "the service %s ended because its start failed, main threw, or its stop call could not be made"},
    {"The %s service has timed out during a stop request and will be terminated.", false,
     "a stop request did not end the service %s within ServiceStopTimeout (30 s); the process is ended"},
    {"This program can only be run as a service.", true,
     "ServiceOnly is 1 and the first argument is none of the service switches"},
};

namespace {

const ReferenceRow kPlaceholderRows[] = {
    {"%APPDIR%", "the executable's folder, without a trailing separator (any case: %appdir%)", nullptr},
    {"%DATE%", "today's date as yyyyMMdd (any case)", nullptr},
    {"%TIME%", "the time as HHmmss (any case)", nullptr},
    {"%AVAILRAM%, %AVAILRAMnn%",
     "nn percent (1 to 100; 100 when missing or out of range) of the available physical memory in megabytes, at "
     "least 64, written for a heap option: %AVAILRAM50% gives e.g. 2048m",
     nullptr},
    {"%TOTALRAM%, %TOTALRAMnn%", "the same share of the total physical memory", nullptr},
    {"%JAVA_HOME%",
     "home folder of the runtime accepted by the registry search (methods 1-4); empty before that search has run, "
     "so it works in JvmOptions and ClassPath but not in settings-file values. Upper case only: %java_home% is "
     "the environment variable",
     "the folder of the accepted runtime under /usr/lib/jvm"},
    {"%NAME%", "any other name: the environment variable NAME, or nothing when it is not set", nullptr},
    {"%%", "nothing (an empty name)", nullptr},
    {"%APPNAME%", "in SettingsFile only: the executable's file name without its extension", nullptr},
};

const ReferenceRow kSearchMethodRows[] = {
    {"0", "each entry of JvmPath, in order; the first readable one that fits JvmVersion", nullptr},
    {"1",
     "registry keys HKLM\\Software\\JavaSoft\\JRE, ...\\Java Runtime Environment and IBM's Java2 Runtime "
     "Environment, then ...\\JavaSoft\\JDK (current JDK installers: Oracle, Red Hat, Amazon Corretto, BellSoft "
     "Liberica): the version named by CurrentVersion first, then every version subkey that meets JvmVersion; then "
     "the keys of Eclipse Adoptium (Eclipse Adoptium\\JDK and \\JRE), Microsoft (Microsoft\\JDK) and Azul Zulu "
     "(Azul Systems\\Zulu), whose version subkeys name the runtime's folder",
     "every runtime folder under /usr/lib/jvm with a release file, named by its JAVA_VERSION: JDKs (with bin/javac) "
     "as ...\\JavaSoft\\JDK, the others as ...\\JavaSoft\\JRE; default-java first in its key"},
    {"2", "JRockit and IBM Java Development Kit registry keys", "nothing"},
    {"3", "JRockit registry key, server VM", "nothing"},
    {"4", "JRockit and JavaSoft Java Development Kit registry keys, classic VM", "nothing"},
    {"5",
     "the JAVA_HOME environment variable: jre\\bin\\client, jre\\bin\\server, bin\\client, bin\\server "
     "(jvm.dll), when the runtime fits JvmVersion",
     "lib/server, lib/client, jre/lib/amd64/server (libjvm.so)"},
};

const ReferenceRow kRunModeRows[] = {
    {"InstallSwitch [name [description [start]]]",
     "installs the service (only when ServiceName is set) and reports message 14; with ServiceCommandLineOverride "
     "the arguments replace ServiceName, ServiceDescription and the start type (0 manual, other numbers automatic); "
     "exit status 1 when nothing was installed",
     "writes the systemd unit NAME.service; in /etc/systemd/system also systemctl daemon-reload (when systemd "
     "runs) and, for automatic start, systemctl enable, whose failure takes the unit out again"},
    {"UninstallSwitch [name]",
     "stops the service when it runs (within ServiceStopTimeout), removes it and reports message 15; the name "
     "replaces ServiceName under ServiceCommandLineOverride; exit status 1 when nothing was removed",
     "in /etc/systemd/system systemctl stop (when systemd runs) and disable, then removes the unit file"},
    {"ServiceSwitch [name [description [start]]]",
     "runs under the service manager: the command line the service is installed with", "the unit's ExecStart"},
    {"-vtremovetemporaryjarfiles PID",
     "exactly these two arguments: the detached cleanup copy that removes the unpacked archives once process PID "
     "has ended; with any other number of arguments it is an ordinary argument",
     nullptr},
    {"-vtwriteclassdata PID JOB CLEANUP",
     "exactly these four arguments (ClassDataCache): the detached copy that, once process PID has ended, builds "
     "the class-data cache from the class list that start recorded (JOB, a name in the cache folder), then with "
     "CLEANUP 1 removes the unpacked archives; any other number of arguments goes to main",
     nullptr},
    {"-vtdumpclassdata JOB",
     "exactly these two arguments: the writer's copy that creates a VM to dump the archive; any other number of "
     "arguments goes to main",
     nullptr},
    {"anything else", "normal launch: every argument goes to main unchanged (AppOptions when there are none)",
     nullptr},
};

const ReferenceRow kSystemPropertyRows[] = {
    {"user.dir", "the application's working directory", nullptr},
    {"vantrel.exe.path", "full path of the launcher executable", nullptr},
    {"vantrel.csidl.appdata", "the user's roaming application-data folder", "$XDG_CONFIG_HOME or ~/.config"},
    {"vantrel.csidl.local.appdata", "the user's local application-data folder", "$XDG_DATA_HOME or ~/.local/share"},
    {"vantrel.csidl.personal", "the user's documents folder", "$HOME"},
    {"vantrel.extract.path", "the folder the embedded archives were unpacked into, as an absolute path", nullptr},
    {"vantrel.appini.showconsole", "true or false: ShowConsole", nullptr},
    {"vantrel.service.name", "ServiceName (as a service only)", nullptr},
    {"vantrel.service.description", "ServiceDescription (as a service only)", nullptr},
    {"vantrel.service.starttype", "1 automatic start, 0 manual start (as a service only)", nullptr},
};

template <unsigned N>
constexpr ReferenceTable tableOf(const ReferenceRow (&rows)[N]) {
    return {rows, N};
}

}  // namespace

const ReferenceTable kPlaceholderTable = tableOf(kPlaceholderRows);
const ReferenceTable kSearchMethodTable = tableOf(kSearchMethodRows);
const ReferenceTable kRunModeTable = tableOf(kRunModeRows);
const ReferenceTable kSystemPropertyTable = tableOf(kSystemPropertyRows);

const char* settingKindName(SettingKind kind) {
    switch (kind) {
        case SettingKind::Flag: return "flag";
        case SettingKind::Number: return "number";
        case SettingKind::ScrambledText: return "class";
        case SettingKind::Version: return "version";
        case SettingKind::Text: break;
    }
    return "text";
}

static const SettingInfo* findIn(const SettingInfo* table, unsigned count, const char* name) {
    for (unsigned i = 0; i < count; ++i)
        if (std::strcmp(table[i].name, name) == 0) return &table[i];
    return nullptr;
}

const SettingInfo* findSettingByName(const char* name) { return findIn(kSettings, kSettingCount, name); }

const SettingInfo* findFileOnlySetting(const char* name) {
    return findIn(kFileOnlySettings, kFileOnlySettingCount, name);
}

const SettingInfo* findSettingById(unsigned id) {
    for (unsigned i = 0; i < kSettingCount; ++i)
        if (kSettings[i].id == id) return &kSettings[i];
    return nullptr;
}

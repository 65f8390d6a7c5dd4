// LauncherConfig: the one process-wide record of every setting, the message
// texts, the values derived at start-up and the run state of later stages.
// Filled on the main thread before any other thread exists.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <jni.h>

#include "platform/platform.h"

// Setting ids of the string table.
enum SettingId : unsigned {
    IdJvmVersion = 1001,
    IdJvmPath = 1002,
    IdJvmOptions = 1003,
    IdClassPath = 1004,
    IdJvmSearchOrder = 1005,
    IdRemoveExtractedFiles = 1006,
    IdExtractLocation = 1007,
    IdInstallSwitch = 1008,
    IdUninstallSwitch = 1009,
    IdServiceSwitch = 1010,
    IdWorkingDirectory = 1011,
    IdMainClass = 1012,
    IdAppOptions = 1013,
    IdSettingsFile = 1014,
    IdEarlyWorkingDirectory = 1015,
    IdKeepStartDirectory = 1016,
    IdServiceName = 1017,
    IdServiceDescription = 1018,
    IdServiceAppOptions = 1019,
    IdServiceStopArguments = 1020,
    IdServiceStopByExit = 1021,
    IdServiceManualStart = 1022,
    IdServiceInteractive = 1023,
    IdServiceDependencies = 1024,
    IdStdOutMode = 1025,
    IdStdErrMode = 1026,
    IdStdOutFile = 1027,
    IdStdErrFile = 1028,
    IdAllowMultipleInstances = 1029,
    IdProcessPriority = 1033,
    IdServiceOnly = 1034,
    IdStaticOptions = 1035,
    IdServiceCommandLineOverride = 1036,
    IdForwardSecondInstance = 1037,
    IdSecondInstanceArguments = 1038,
    IdShowJvmNotFoundMessage = 1039,
    IdJvmNotFoundDocument = 1040,
    IdJvmNotFoundCommand = 1041,
    IdStdOutFileAppend = 1042,
    IdStdErrFileAppend = 1043,
};

constexpr int kMessageCount = 21;
constexpr unsigned kPathCapacity = 260;       // the platform path limit
constexpr unsigned kDirectoryCapacity = 261;  // buffers for directories read back

struct LauncherConfig {
    // Settings (text fields are heap strings owned by the record, never null
    // once loaded; flags hold 0 or 1).
    char* JvmVersion;
    char* JvmPath;
    char* JvmOptions;
    char* ClassPath;
    char* JvmSearchOrder;
    uint8_t RemoveExtractedFiles;
    int32_t ExtractLocation;
    char* InstallSwitch;
    char* UninstallSwitch;
    char* ServiceSwitch;
    char* WorkingDirectory;
    char* MainClass;
    char* AppOptions;
    char* SettingsFile;
    uint8_t EarlyWorkingDirectory;
    uint8_t KeepStartDirectory;
    char* ServiceName;
    char* ServiceDescription;
    char* ServiceAppOptions;
    char* ServiceStopArguments;
    uint8_t ServiceStopByExit;
    uint8_t ServiceManualStart;
    uint8_t ServiceInteractive;
    char* ServiceDependencies;
    int32_t StdOutMode;
    int32_t StdErrMode;
    char* StdOutFile;
    char* StdErrFile;
    uint8_t AllowMultipleInstances;
    uint8_t ServiceOnly;
    char* StaticOptions;
    uint8_t ServiceCommandLineOverride;
    uint8_t ForwardSecondInstance;
    char* SecondInstanceArguments;
    uint8_t ShowJvmNotFoundMessage;
    char* JvmNotFoundDocument;
    char* JvmNotFoundCommand;
    uint8_t StdOutFileAppend;
    uint8_t StdErrFileAppend;

    // Settings that only the settings file sets.
    char* AppMutex;
    uint8_t ShowConsole;

    // Message texts; MessageTexts[id - 1] holds message id.
    char* MessageTexts[kMessageCount];

    // Derived at start-up.
    char* EncodedMainClass;
    char AppName[kDirectoryCapacity];
    char StartDirectory[kDirectoryCapacity];
    const char* ModeArgument;
    char* ExtractionDirectory;
    int32_t ExtractedFileCount;

    // Run state.
    std::atomic<uint8_t> ServiceMode;
    std::atomic<uint8_t> ReportingEnabled;  // set before main runs (config.cpp)
    bool InstanceMutexHeld;

    // Runtime and virtual machine.
    void* JvmLibrary;
    void* JvmCreateEntry;
    void* JvmDefaultArgsEntry;
    JavaVM* JavaVm;
    JNIEnv* MainJniEnv;

    // Output capture (service mode). OutputLock guards CaptureBuffer and
    // CaptureLength; it is initialised before the VM is created, because the
    // VM prints through the output hook while it is being created.
    platform::Lock OutputLock;
    std::atomic<platform::CapturePipe*> CapturePipe;  // null: no pipe
    char CapturePipeName[256];
    platform::Thread* PipeReaderThread;
    char CaptureBuffer[8192];  // the most recent captured text, at most 8191 characters
    int32_t CaptureLength;

    // Service state.
    std::atomic<void*> EventSource;  // null until the service entry point has registered it
    platform::Event* ServiceStopEvent;  // auto-reset; never closed
    std::atomic<uint8_t> ServiceSucceeded;  // the worker's: VM created and main run (the stop's outcome is apart)
    std::atomic<uint8_t> ServiceDone;
    // Set by the exit and abort hooks in service mode: the process ends in
    // the hook, with the VM's status, and the service's return path waits.
    std::atomic<uint8_t> HookEndsProcess;
};

// The service's stop wait hint; the exit hooks wait at most this long for
// the service entry point to report the stop.
constexpr uint32_t kStopWaitHintMs = 40000;

extern LauncherConfig Config;

// Message ids.
enum MessageId : int {
    MsgAlreadyRunning = 1,
    MsgFileAccess = 2,
    MsgFileWrite = 3,
    MsgJvmNotFound = 4,
    MsgJvmLoad = 5,
    MsgJniInterfaces = 6,
    MsgJvmCreate = 7,
    MsgAttachThread = 8,
    MsgLocateClass = 9,
    MsgLocateMethod = 10,
    MsgInstantiate = 11,
    MsgAssignArgument = 12,
    MsgInvokeMethod = 13,
    MsgServiceInstalled = 14,
    MsgServiceUninstalled = 15,
    MsgServiceExists = 16,
    MsgServiceStarted = 17,
    MsgServiceStopped = 18,
    MsgServiceFailed = 19,
    MsgServiceTimeout = 20,
    MsgServiceOnly = 21,
};

// The text of a message (never null; "" before it was loaded).
const char* messageText(int id);

// Loaders of the string table.
char* loadConfigString(unsigned id);
bool loadConfigFlag(unsigned id);
int32_t loadConfigNumber(unsigned id);
char* loadMessageString(unsigned id);
// The message text of entry `index` (0..15) of a raw RT_STRING block, with
// its "\n" escapes decoded; "" when the entry is absent or empty.
char* messageFromBlock(const uint8_t* block, size_t blockSize, unsigned index);
// Decodes the scrambled main-class text into a 256-byte static buffer.
const char* decodeMainClass(const char* text);
// Replaces %APPNAME% (without case) in a settings-file template.
char* resolveSettingsFileName(const char* templateText);
void loadConfiguration();
void applySettingsFile();

// Duplicates a text on the heap (never returns null for a non-null input).
char* duplicateText(const char* text);
// The same for the first length bytes of a text, terminated.
char* duplicateTextRange(const char* text, size_t length);
// Replaces a heap text field, freeing the old text.
void replaceText(char** field, char* newText);

// LauncherConfig: the one process-wide record of every setting, the message
// texts, the values derived at start-up and the run state of later stages.
// Filled on the main thread before any other thread exists. It sits beneath
// the reporting, which reads it, and depends on the platform seam alone; the
// loading of settings and messages (core/config.h) sits above the reporting,
// which it uses.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <jni.h>

#include "platform/platform.h"

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
    uint8_t ClassDataCache;
    char* ProductName;  // the title of a report shown in a window
    int32_t ServiceRestart;       // 1: the service manager restarts a failed service
    int32_t ServiceRestartDelay;  // seconds
    char* ServiceAccount;
    char* Environment;          // NAME=value pairs, split as arguments are
    int32_t OutputFileLimit;    // KB; 0: the output files are not rotated
    int32_t OutputFileCount;
    int32_t ServiceStopTimeout;  // seconds; read through stopTimeoutMs()
    char* ServiceDisplayName;
    uint8_t ServiceDelayedStart;

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
    std::atomic<uint8_t> ReportingEnabled;  // set before main runs (launcher_config.cpp)
    bool InstanceMutexHeld;

    // Runtime and virtual machine.
    void* JvmLibrary;
    void* JvmCreateEntry;
    void* JvmDefaultArgsEntry;
    JavaVM* JavaVm;
    JNIEnv* MainJniEnv;
    // The chosen runtime's library (absolute), its home folder and the
    // JAVA_VERSION of its release file, with its major version (0 when
    // unknown): read by createJavaVm when ClassDataCache is set, for the
    // class-data cache.
    char* RuntimeLibrary;
    char* RuntimeHome;
    char* RuntimeVersion;
    int32_t RuntimeMajor;

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
    platform::Event* ServiceStopEvent;  // auto-reset; never closed; wakes the service's entry point
    std::atomic<uint8_t> ServiceDone;   // the service's final status has been reported
    // Set by the exit and abort hooks in service mode, before they wake the
    // entry point: the process ends in the hook, and how it ended is what
    // the service reports. VmExitStatus is written first.
    std::atomic<uint8_t> HookEndsProcess;  // a VmEnd
    std::atomic<int32_t> VmExitStatus;     // the status System.exit was given
};

enum VmEnd : uint8_t { VmEndNone, VmEndExit, VmEndAbort };

// A stop that has not ended the application after ServiceStopTimeout is
// forced; a number outside 1 to kLongestStopTimeoutS seconds reads as the
// default.
constexpr int32_t kDefaultStopTimeoutS = 30;
constexpr int32_t kLongestStopTimeoutS = 3600;
uint32_t stopTimeoutMs();
// The stop budget: the stop timeout and time for the final report. The
// service manager's wait hint (and Windows' pre-shutdown wait, systemd's
// TimeoutStopSec=); the exit hooks wait at most this long for the service
// entry point to report the stop, and a removal at most this long for the
// service to stop.
constexpr uint32_t kStopReportMarginMs = 10000;
uint32_t stopWaitHintMs();

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


// Configuration loading: the settings and messages of the executable's
// string table, the main-class unscrambling and the settings-file override,
// all into the record of core/launcher_config.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/launcher_config.h"

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
    IdClassDataCache = 1101,
    IdServiceRestart = 1105,
    IdServiceRestartDelay = 1106,
    IdServiceAccount = 1107,
    IdEnvironment = 1108,
    IdOutputFileLimit = 1109,
    IdOutputFileCount = 1110,
    IdServiceStopTimeout = 1111,
    IdServiceDisplayName = 1112,
    IdServiceDelayedStart = 1113,
    IdProductName = 1128,
};

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

// Configuration: the settings and messages of the executable's string table,
// the main-class unscrambling and the settings-file override.
#include "core/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/environment.h"
#include "core/placeholders.h"
#include "core/settings_table.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

constexpr const char* kNullText = "<null>";
constexpr size_t kProfileValueSize = 4096;
constexpr uint64_t kSettingsFileLimit = 1024 * 1024;  // far beyond twelve keys of 4095 characters
constexpr int kStringGrowth = 1024;
constexpr int kLongestCharacter = 4;

// Priority classes by index; the platform maps them to its own values.
constexpr int kPriorityClassCount = 6;

}  // namespace

char* loadConfigString(unsigned id) {
    int capacity = kStringGrowth;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (buffer == nullptr) std::abort();
    for (;;) {
        int length = platform::loadString(id, buffer, capacity);
        if (length <= 0 || std::strcmp(buffer, kNullText) == 0) {
            buffer[0] = '\0';
            break;
        }
        // A text that filled the buffer may have been cut: try again bigger.
        // The loader cuts after the last whole character, and a UTF-8
        // character takes up to four bytes, so "filled" starts four bytes
        // before the end.
        if (length < capacity - kLongestCharacter) break;
        capacity += kStringGrowth;
        char* grown = static_cast<char*>(std::realloc(buffer, capacity));
        if (grown == nullptr) std::abort();
        buffer = grown;
    }
    char* result = duplicateText(buffer);
    std::free(buffer);
    return result;
}

bool loadConfigFlag(unsigned id) {
    char* text = loadConfigString(id);
    bool value = text[0] != '0';
    std::free(text);
    return value;
}

int32_t loadConfigNumber(unsigned id) {
    char* text = loadConfigString(id);
    int32_t value = std::atoi(text);
    std::free(text);
    return value;
}

char* loadMessageString(unsigned id) {
    const uint8_t* block = nullptr;
    size_t blockSize = 0;
    if (!platform::findStringBlock(id / 16 + 1, &block, &blockSize)) return duplicateText("");
    return messageFromBlock(block, blockSize, id % 16);
}

char* messageFromBlock(const uint8_t* block, size_t blockSize, unsigned index) {
    // The entry is found through the block's own size, whatever the
    // lengths before it claim.
    const uint8_t* bytes = nullptr;
    size_t units = 0;
    if (!platform::stringBlockEntry(block, blockSize, index, &bytes, &units) || units == 0) return duplicateText("");

    uint16_t* wide = static_cast<uint16_t*>(std::malloc((units + 1) * 2));
    if (wide == nullptr) std::abort();
    for (size_t i = 0; i < units; ++i) wide[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    wide[units] = 0;

    size_t needed = platform::wideToNarrow(wide, units + 1, nullptr, 0);
    if (needed == 0) {
        std::free(wide);
        return duplicateText("");
    }
    char* narrow = static_cast<char*>(std::malloc(needed));
    if (narrow == nullptr) std::abort();
    if (platform::wideToNarrow(wide, units + 1, narrow, needed) == 0) narrow[0] = '\0';
    narrow[needed - 1] = '\0';
    std::free(wide);

    // "\n" is the only escape; any other backslash pair stays as it is.
    char* out = narrow;
    bool pendingBackslash = false;
    for (const char* in = narrow; *in != '\0'; ++in) {
        if (pendingBackslash) {
            pendingBackslash = false;
            if (*in == 'n') {
                *out++ = '\n';
            } else {
                *out++ = '\\';
                *out++ = *in;
            }
        } else if (*in == '\\') {
            pendingBackslash = true;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return narrow;
}

// Defined here, beside its only reader in the launcher, so that the
// launcher does not link the settings table and its descriptions.
const unsigned char kMainClassKey[17] = {'T', 'b', '4', 'w', 'Q', '8', '1', 'Z', 'r',
                                         '6', 'Y', 'a', '0', 'P', 'k', '7', 0};

static int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 55;
}

const char* decodeMainClass(const char* text) {
    static unsigned char buffer[256];
    std::memset(buffer, 0, sizeof(buffer));
    // Up to 255 decoded bytes; the last byte always stays the terminator.
    size_t length = std::strlen(text);
    size_t pairs = length / 2;  // a lone last digit is ignored
    if (pairs > sizeof(buffer) - 1) pairs = sizeof(buffer) - 1;
    for (size_t k = 0; k < pairs; ++k) {
        int value = 16 * hexDigitValue(text[2 * k]) + hexDigitValue(text[2 * k + 1]);
        buffer[k] = static_cast<unsigned char>(value & 0xFF);
        buffer[k] ^= kMainClassKey[k % 17];
    }
    char* name = reinterpret_cast<char*>(buffer);
    // A name cut at the limit ends on a whole character.
    if (length / 2 > pairs) name[wholeCharacterLength(name, std::strlen(name))] = '\0';
    return name;
}

char* resolveSettingsFileName(const char* templateText) {
    TextBuffer result{};
    bool inside = false;
    bool appended = false;
    const char* pieceStart = templateText;
    auto appendPiece = [&](const char* begin, const char* end) {
        if (end <= begin) return;
        appendTextRange(&result, begin, static_cast<size_t>(end - begin));
        appended = true;
    };
    for (const char* p = templateText; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (!inside) {
            appendPiece(pieceStart, p);
        } else {
            size_t nameLength = static_cast<size_t>(p - pieceStart);
            if (nameLength == 7 && strncasecmpAscii(pieceStart, "APPNAME", 7) == 0 &&
                Config.AppName[0] != '\0') {
                appendText(&result, Config.AppName);
                appended = true;
            }
        }
        inside = !inside;
        pieceStart = p + 1;
    }
    appendPiece(pieceStart, pieceStart + std::strlen(pieceStart));
    char* text = appended ? duplicateText(result.text) : duplicateText(templateText);
    freeTextBuffer(&result);
    return text;
}

static void loadText(char** field, unsigned id) { replaceText(field, loadConfigString(id)); }
static void loadFlag(uint8_t* field, unsigned id) { *field = loadConfigFlag(id) ? 1 : 0; }

void loadConfiguration() {
    LauncherConfig& c = Config;

    char* encoded = loadConfigString(IdMainClass);
    replaceText(&c.MainClass, duplicateText(decodeMainClass(encoded)));
    std::free(encoded);

    loadText(&c.JvmPath, IdJvmPath);
    loadText(&c.ClassPath, IdClassPath);
    loadText(&c.JvmOptions, IdJvmOptions);
    loadText(&c.InstallSwitch, IdInstallSwitch);
    loadText(&c.UninstallSwitch, IdUninstallSwitch);
    loadText(&c.ServiceSwitch, IdServiceSwitch);
    loadText(&c.ServiceName, IdServiceName);
    loadText(&c.ServiceDescription, IdServiceDescription);
    loadText(&c.WorkingDirectory, IdWorkingDirectory);
    loadText(&c.AppOptions, IdAppOptions);
    loadText(&c.StaticOptions, IdStaticOptions);
    loadText(&c.ServiceAppOptions, IdServiceAppOptions);
    loadText(&c.ServiceStopArguments, IdServiceStopArguments);
    loadText(&c.ServiceDependencies, IdServiceDependencies);
    loadText(&c.StdOutFile, IdStdOutFile);
    loadText(&c.StdErrFile, IdStdErrFile);

    char* settingsTemplate = loadConfigString(IdSettingsFile);
    replaceText(&c.SettingsFile, resolveSettingsFileName(settingsTemplate));
    std::free(settingsTemplate);

    loadText(&c.JvmSearchOrder, IdJvmSearchOrder);
    loadText(&c.SecondInstanceArguments, IdSecondInstanceArguments);
    loadText(&c.JvmNotFoundDocument, IdJvmNotFoundDocument);
    loadText(&c.JvmNotFoundCommand, IdJvmNotFoundCommand);
    loadText(&c.ProductName, IdProductName);
    loadText(&c.ServiceAccount, IdServiceAccount);
    loadText(&c.Environment, IdEnvironment);
    hideEnvironmentValues(c.Environment);
    loadText(&c.ServiceDisplayName, IdServiceDisplayName);
    loadFlag(&c.ServiceDelayedStart, IdServiceDelayedStart);
    c.ServiceRestart = loadConfigNumber(IdServiceRestart);
    c.ServiceRestartDelay = loadConfigNumber(IdServiceRestartDelay);
    c.OutputFileLimit = loadConfigNumber(IdOutputFileLimit);
    c.OutputFileCount = loadConfigNumber(IdOutputFileCount);
    c.ServiceStopTimeout = loadConfigNumber(IdServiceStopTimeout);

    loadFlag(&c.StdOutFileAppend, IdStdOutFileAppend);
    loadFlag(&c.StdErrFileAppend, IdStdErrFileAppend);
    loadFlag(&c.EarlyWorkingDirectory, IdEarlyWorkingDirectory);
    loadFlag(&c.AllowMultipleInstances, IdAllowMultipleInstances);
    loadFlag(&c.ServiceManualStart, IdServiceManualStart);
    loadFlag(&c.ServiceStopByExit, IdServiceStopByExit);
    loadFlag(&c.KeepStartDirectory, IdKeepStartDirectory);
    loadFlag(&c.ServiceInteractive, IdServiceInteractive);
    loadFlag(&c.RemoveExtractedFiles, IdRemoveExtractedFiles);
    loadFlag(&c.ServiceCommandLineOverride, IdServiceCommandLineOverride);
    loadFlag(&c.ForwardSecondInstance, IdForwardSecondInstance);
    loadFlag(&c.ClassDataCache, IdClassDataCache);

    // The priority takes effect while the settings load; it is not kept.
    int32_t priority = loadConfigNumber(IdProcessPriority);
    const bool prioritySet = priority >= 0 && priority < kPriorityClassCount;
    if (prioritySet) platform::setPriorityIndex(priority);
    trace("setting ProcessPriority = %d (resource 1033)%s", int(priority), prioritySet ? "" : ", not applied");

    c.StdOutMode = loadConfigNumber(IdStdOutMode);
    c.StdErrMode = loadConfigNumber(IdStdErrMode);
    loadFlag(&c.ServiceOnly, IdServiceOnly);
    loadText(&c.JvmVersion, IdJvmVersion);

    // FindClass takes the slash form.
    for (char* p = c.MainClass; *p != '\0'; ++p)
        if (*p == '.') *p = '/';

    loadFlag(&c.ShowJvmNotFoundMessage, IdShowJvmNotFoundMessage);

    static const int kMessageOrder[] = {1, 3, 17, 18, 19, 20, 16, 14, 15, 4, 5, 6,
                                        7, 8, 9, 10, 11, 12, 13, 21};
    for (int id : kMessageOrder) replaceText(&c.MessageTexts[id - 1], loadMessageString(id));

    // The mutex name defaults to the main class itself (not a copy).
    c.AppMutex = c.MainClass;

    applySettingsFile();
}

namespace {

// How the trace describes a settings file that was or was not read. A switch,
// so that a new outcome cannot go unnamed.
const char* loadOutcome(platform::ProfileLoad load) {
    switch (load) {
        case platform::ProfileLoad::Loaded: return "";
        case platform::ProfileLoad::Missing: return " not found";
        case platform::ProfileLoad::NotAFile: return " is not a regular file";
        case platform::ProfileLoad::TooLarge: return " is too large";
        case platform::ProfileLoad::Failed: return " cannot be read";
    }
    return " cannot be read";
}

// What the settings file holds that is not read: other sections, keys
// before any section, keys of no setting and empty values. The file's
// meaning is the same with the trace on or off; only the trace says it.
void traceIgnoredEntries(const platform::ProfileFile* file, const char* const* known, size_t count) {
    constexpr size_t kListSize = 8192;  // a list beyond this is traced in part
    char* names = static_cast<char*>(std::malloc(kListSize));
    if (names == nullptr) std::abort();
    bool sectionFound = false;
    platform::listLoadedProfileNames(file, nullptr, names, kListSize);
    for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
        if (strcasecmpAscii(name, kSettingsFileSection) == 0 && !sectionFound)
            sectionFound = true;
        else
            trace("settings file: section [%s] ignored: only [%s] is read", name, kSettingsFileSection);
    }
    platform::listLoadedProfileNames(file, "", names, kListSize);
    for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1)
        trace("settings file: key \"%s\" before any section ignored", name);
    if (!sectionFound) trace("settings file: no [%s] section: nothing is read", kSettingsFileSection);
    platform::listLoadedProfileNames(file, kSettingsFileSection, names, kListSize);
    for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
        bool isKnown = false;
        for (size_t i = 0; i < count && !isKnown; ++i) isKnown = strcasecmpAscii(name, known[i]) == 0;
        char value[2];
        if (!isKnown)
            trace("settings file: key \"%s\" ignored: no such key", name);
        else if (platform::readLoadedProfileString(file, kSettingsFileSection, name, "", value, sizeof(value)) == 0)
            trace("settings file: key \"%s\" ignored: empty", name);
    }
    std::free(names);
}

}  // namespace

void applySettingsFile() {
    LauncherConfig& c = Config;
    if (c.SettingsFile == nullptr || c.SettingsFile[0] == '\0') {
        trace("settings file: none (SettingsFile is empty)");
        return;
    }

    char directory[kDirectoryCapacity];
    if (platform::currentDirectory(directory, sizeof(directory)) == 0) return;
    TextBuffer fullPath{};
    appendText(&fullPath, directory);
    size_t dirLength = std::strlen(directory);
    if (dirLength == 0 || !platform::isPathSeparator(directory[dirLength - 1])) {
        const char separator[2] = {platform::pathSeparator(), '\0'};
        appendText(&fullPath, separator);
    }
    appendText(&fullPath, c.SettingsFile);

    // Anyone who may write to the executable's folder may write this file:
    // only a regular file is read, once, and only up to a bound. A missing or
    // unreadable file is ignored without a message, as it always was.
    platform::ProfileFile* file = nullptr;
    platform::ProfileLoad load = platform::loadProfileFile(fullPath.text, kSettingsFileLimit, &file);
    if (load == platform::ProfileLoad::TooLarge)
        reportError("The settings file %s is larger than %u bytes and was ignored.", fullPath.text,
                    static_cast<unsigned>(kSettingsFileLimit));
    trace("settings file: \"%s\"%s", fullPath.text, loadOutcome(load));
    freeTextBuffer(&fullPath);
    if (load != platform::ProfileLoad::Loaded) return;

    enum class Apply { Replace, Append, StdOut, StdErr, Flag, Number, Console };
    struct Key {
        const char* name;
        void* field;
        Apply how;
    };
    const Key keys[] = {
        {"JvmVersion", &c.JvmVersion, Apply::Replace},
        {"JvmPath", &c.JvmPath, Apply::Replace},
        {"JvmOptions", &c.JvmOptions, Apply::Replace},
        {"JvmOptionsAppend", &c.JvmOptions, Apply::Append},
        {"AppOptions", &c.AppOptions, Apply::Replace},
        {"AppMutex", &c.AppMutex, Apply::Replace},
        {"StaticOptions", &c.StaticOptions, Apply::Replace},
        {"StdOutFile", &c.StdOutFile, Apply::StdOut},
        {"StdErrFile", &c.StdErrFile, Apply::StdErr},
        {"StdOutFileAppend", &c.StdOutFileAppend, Apply::Flag},
        {"StdErrFileAppend", &c.StdErrFileAppend, Apply::Flag},
        {"ShowConsole", nullptr, Apply::Console},
        {"Environment", &c.Environment, Apply::Replace},
        {"OutputFileLimit", &c.OutputFileLimit, Apply::Number},
        {"OutputFileCount", &c.OutputFileCount, Apply::Number},
        {"ServiceStopTimeout", &c.ServiceStopTimeout, Apply::Number},
        {"ServiceRestart", &c.ServiceRestart, Apply::Number},
        {"ServiceRestartDelay", &c.ServiceRestartDelay, Apply::Number},
        {"ServiceAccount", &c.ServiceAccount, Apply::Replace},
        {"ServiceDelayedStart", &c.ServiceDelayedStart, Apply::Flag},
    };

    if (traceOn()) {
        const char* names[sizeof(keys) / sizeof(keys[0])];
        for (size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i) names[i] = keys[i].name;
        traceIgnoredEntries(file, names, sizeof(keys) / sizeof(keys[0]));
    }

    char value[kProfileValueSize];
    for (const Key& key : keys) {
        size_t length = platform::readLoadedProfileString(file, kSettingsFileSection, key.name, "", value, sizeof(value));
        if (length == 0) continue;
        // Its values are hidden before the line that shows them.
        if (key.field == &c.Environment) hideEnvironmentValues(value);
        traceSettingsFileKey(key.name, value);
        char* expanded = expandPlaceholders(value);
        if (expanded == nullptr) continue;  // refused and reported: the key is left out
        char** text = static_cast<char**>(key.field);
        switch (key.how) {
            case Apply::Replace:
            case Apply::StdOut:
            case Apply::StdErr:
                // AppMutex still points at MainClass until it is first replaced.
                if (text == &c.AppMutex && c.AppMutex == c.MainClass)
                    c.AppMutex = expanded;
                else
                    replaceText(text, expanded);
                expanded = nullptr;
                if (key.how == Apply::StdOut) c.StdOutMode = 1;
                if (key.how == Apply::StdErr) c.StdErrMode = 1;
                break;
            case Apply::Append: {
                TextBuffer joined{};
                appendText(&joined, c.JvmOptions);
                appendText(&joined, " ");
                appendText(&joined, expanded);
                replaceText(&c.JvmOptions, duplicateText(joined.text));
                freeTextBuffer(&joined);
                break;
            }
            case Apply::Flag:
                *static_cast<uint8_t*>(key.field) = std::strcmp(expanded, "1") == 0 ? 1 : 0;
                break;
            case Apply::Number:
                *static_cast<int32_t*>(key.field) = std::atoi(expanded);
                break;
            case Apply::Console:
                if (std::strcmp(expanded, "0") == 0) c.ShowConsole = 0;
                if (std::strcmp(expanded, "1") == 0) c.ShowConsole = 1;
                break;
        }
        std::free(expanded);
    }
    platform::freeProfileFile(file);
}

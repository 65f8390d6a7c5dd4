// The start-up trace: its destination, the line writer that hides
// environment values and bounds every line, and the list of settings.
#include "report/trace.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"

bool TraceActive = false;

namespace {

constexpr size_t kLineSize = 4096;  // one line as written, its end included
constexpr size_t kRawSize = 8192;   // the formatted text before values are hidden and controls escaped
constexpr size_t kPathLimit = 1024;  // the longest file name VANTREL_TRACE may give
constexpr size_t kShortValue = 4;    // shorter values are hidden only as a word of a quoted value
constexpr char kCutMark[] = " [cut]";

bool ToFile = false;
platform::OutputFile File{};

// Values to hide, longest first, so that a value that holds another is
// hidden whole. Guarded by SecretsLock: a service expands its stop
// arguments on a thread of its own.
struct Secret {
    char* value;
    size_t length;
    char* name;
};
platform::Lock SecretsLock;
Secret* Secrets = nullptr;
size_t SecretCount = 0;
size_t SecretCapacity = 0;

void addSecret(const char* name, size_t nameLength, const char* value, size_t length) {
    if (length == 0) return;
    size_t at = 0;
    for (; at < SecretCount && Secrets[at].length >= length; ++at)
        if (Secrets[at].length == length && std::memcmp(Secrets[at].value, value, length) == 0) return;
    if (SecretCount == SecretCapacity) {
        SecretCapacity = SecretCapacity == 0 ? 8 : 2 * SecretCapacity;
        auto* grown = static_cast<Secret*>(std::realloc(Secrets, SecretCapacity * sizeof(Secret)));
        if (grown == nullptr) std::abort();
        Secrets = grown;
    }
    std::memmove(Secrets + at + 1, Secrets + at, (SecretCount - at) * sizeof(Secret));
    char* shownName = duplicateTextRange(name, nameLength);
    for (char* p = shownName; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) *p = '?';  // the name stays on its line
    Secrets[at] = Secret{duplicateTextRange(value, length), length, shownName};
    ++SecretCount;
}

bool isWordByte(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_' || c >= 0x80;
}

// The hidden value that starts at text[i], and its length there; null for
// none. At the end of a text that was cut, the start of a value counts too.
// `quoted`: text[i] lies between double quotes, where the lines hold values.
const Secret* secretAt(const char* text, size_t length, size_t i, bool cut, bool quoted, size_t* matched) {
    const size_t rest = length - i;
    for (size_t k = 0; k < SecretCount; ++k) {
        const Secret& s = Secrets[k];
        if (s.length > rest) {
            if (cut && std::memcmp(text + i, s.value, rest) == 0) {
                *matched = rest;
                return &s;
            }
            continue;
        }
        if (std::memcmp(text + i, s.value, s.length) != 0) continue;
        // "1" or "on" would be hidden inside every number and word, and in the
        // numbers of the lines themselves (option 1, a return code of -1).
        if (s.length < kShortValue && (!quoted || (i > 0 && isWordByte(text[i - 1])) ||
                                       (s.length < rest && isWordByte(text[i + s.length]))))
            continue;
        *matched = s.length;
        return &s;
    }
    return nullptr;
}

// The formatted text into the line: hidden values replaced, control
// characters escaped, cut where the line is full.
void appendShown(BoundedText* line, const char* text, size_t length, bool cut) {
    platform::LockGuard guard(&SecretsLock);
    size_t run = 0;  // start of the plain text not yet appended
    bool quoted = false;
    for (size_t i = 0; i < length && !line->full;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t matched = 0;
        const Secret* secret = SecretCount > 0 ? secretAt(text, length, i, cut, quoted, &matched) : nullptr;
        char escaped[5];
        if (secret == nullptr && c == '"') quoted = !quoted;
        if (secret == nullptr && !controlEscape(c, escaped)) {
            ++i;
            continue;
        }
        appendBounded(line, text + run, i - run);
        if (secret != nullptr) {
            appendBounded(line, "<hidden:%", 9);
            appendBounded(line, secret->name, std::strlen(secret->name));
            appendBounded(line, "%>", 2);
            i += matched;
        } else {
            appendBounded(line, escaped, 4);
            ++i;
        }
        run = i;
    }
    if (run < length) appendBounded(line, text + run, length - run);
}

void writeLine(const char* text, size_t length) {
    if (ToFile) {
        platform::writeOutputFile(File, text, length);  // a trace that cannot be written is lost, quietly
    } else {
        std::fwrite(text, 1, length, stderr);  // one write under the stream's lock, as the reports make
        std::fflush(stderr);
    }
}

void vtrace(const char* format, va_list args) {
    const uint32_t error = platform::lastError();
    char raw[kRawSize];
    const int needed = std::vsnprintf(raw, sizeof(raw), format, args);
    const bool rawCut = needed < 0 || size_t(needed) >= sizeof(raw);
    if (needed < 0) raw[0] = '\0';
    else if (rawCut) raw[wholeCharacterLength(raw, sizeof(raw) - 1)] = '\0';

    char text[kLineSize];
    const char* end = ToFile && platform::linesEndWithCarriageReturn() ? "\r\n" : "\n";
    BoundedText line = boundedText(text, sizeof(text) - (sizeof(kCutMark) - 1) - std::strlen(end));
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "vantrel[%u] ", unsigned(platform::currentProcessId()));
    appendBounded(&line, prefix, std::strlen(prefix));
    appendShown(&line, raw, std::strlen(raw), rawCut);
    // The room held back for them takes the mark and the line's end.
    if (line.full || rawCut) {
        std::memcpy(text + line.length, kCutMark, sizeof(kCutMark) - 1);
        line.length += sizeof(kCutMark) - 1;
    }
    std::memcpy(text + line.length, end, std::strlen(end));
    writeLine(text, line.length + std::strlen(end));
    platform::setLastError(error);
}

// ---- The settings ------------------------------------------------------------

// Every setting the launcher loads, in the order of its string-table id,
// then the two that only the settings file sets (id 0): the trace shows each
// with its value and where it came from. (The settings table itself, with its
// descriptions, stays out of the launcher.)
struct Listed {
    const char* name;
    enum Kind : uint8_t { Text, Flag, Number } kind;
    const void* field;
    unsigned id;
};
const Listed kListed[] = {
    {"JvmVersion", Listed::Text, &Config.JvmVersion, 1001},
    {"JvmPath", Listed::Text, &Config.JvmPath, 1002},
    {"JvmOptions", Listed::Text, &Config.JvmOptions, 1003},
    {"ClassPath", Listed::Text, &Config.ClassPath, 1004},
    {"JvmSearchOrder", Listed::Text, &Config.JvmSearchOrder, 1005},
    {"RemoveExtractedFiles", Listed::Flag, &Config.RemoveExtractedFiles, 1006},
    {"ExtractLocation", Listed::Number, &Config.ExtractLocation, 1007},
    {"InstallSwitch", Listed::Text, &Config.InstallSwitch, 1008},
    {"UninstallSwitch", Listed::Text, &Config.UninstallSwitch, 1009},
    {"ServiceSwitch", Listed::Text, &Config.ServiceSwitch, 1010},
    {"WorkingDirectory", Listed::Text, &Config.WorkingDirectory, 1011},
    {"MainClass", Listed::Text, &Config.MainClass, 1012},
    {"AppOptions", Listed::Text, &Config.AppOptions, 1013},
    {"SettingsFile", Listed::Text, &Config.SettingsFile, 1014},
    {"EarlyWorkingDirectory", Listed::Flag, &Config.EarlyWorkingDirectory, 1015},
    {"KeepStartDirectory", Listed::Flag, &Config.KeepStartDirectory, 1016},
    {"ServiceName", Listed::Text, &Config.ServiceName, 1017},
    {"ServiceDescription", Listed::Text, &Config.ServiceDescription, 1018},
    {"ServiceAppOptions", Listed::Text, &Config.ServiceAppOptions, 1019},
    {"ServiceStopArguments", Listed::Text, &Config.ServiceStopArguments, 1020},
    {"ServiceStopByExit", Listed::Flag, &Config.ServiceStopByExit, 1021},
    {"ServiceManualStart", Listed::Flag, &Config.ServiceManualStart, 1022},
    {"ServiceInteractive", Listed::Flag, &Config.ServiceInteractive, 1023},
    {"ServiceDependencies", Listed::Text, &Config.ServiceDependencies, 1024},
    {"StdOutMode", Listed::Number, &Config.StdOutMode, 1025},
    {"StdErrMode", Listed::Number, &Config.StdErrMode, 1026},
    {"StdOutFile", Listed::Text, &Config.StdOutFile, 1027},
    {"StdErrFile", Listed::Text, &Config.StdErrFile, 1028},
    {"AllowMultipleInstances", Listed::Flag, &Config.AllowMultipleInstances, 1029},
    {"ServiceOnly", Listed::Flag, &Config.ServiceOnly, 1034},
    {"StaticOptions", Listed::Text, &Config.StaticOptions, 1035},
    {"ServiceCommandLineOverride", Listed::Flag, &Config.ServiceCommandLineOverride, 1036},
    {"ForwardSecondInstance", Listed::Flag, &Config.ForwardSecondInstance, 1037},
    {"SecondInstanceArguments", Listed::Text, &Config.SecondInstanceArguments, 1038},
    {"ShowJvmNotFoundMessage", Listed::Flag, &Config.ShowJvmNotFoundMessage, 1039},
    {"JvmNotFoundDocument", Listed::Text, &Config.JvmNotFoundDocument, 1040},
    {"JvmNotFoundCommand", Listed::Text, &Config.JvmNotFoundCommand, 1041},
    {"StdOutFileAppend", Listed::Flag, &Config.StdOutFileAppend, 1042},
    {"StdErrFileAppend", Listed::Flag, &Config.StdErrFileAppend, 1043},
    {"ClassDataCache", Listed::Flag, &Config.ClassDataCache, 1101},
    {"ServiceRestart", Listed::Number, &Config.ServiceRestart, 1105},
    {"ServiceRestartDelay", Listed::Number, &Config.ServiceRestartDelay, 1106},
    {"ServiceAccount", Listed::Text, &Config.ServiceAccount, 1107},
    {"Environment", Listed::Text, &Config.Environment, 1108},
    {"OutputFileLimit", Listed::Number, &Config.OutputFileLimit, 1109},
    {"OutputFileCount", Listed::Number, &Config.OutputFileCount, 1110},
    {"ServiceStopTimeout", Listed::Number, &Config.ServiceStopTimeout, 1111},
    {"ServiceDisplayName", Listed::Text, &Config.ServiceDisplayName, 1112},
    {"ServiceDelayedStart", Listed::Flag, &Config.ServiceDelayedStart, 1113},
    {"ProductName", Listed::Text, &Config.ProductName, 1128},
    {"AppMutex", Listed::Text, &Config.AppMutex, 0},
    {"ShowConsole", Listed::Flag, &Config.ShowConsole, 0},
};
constexpr size_t kListedCount = sizeof(kListed) / sizeof(kListed[0]);
static_assert(kListedCount <= 64, "one bit each in FromSettingsFile");

uint64_t FromSettingsFile = 0;  // bit i: setting i was set by the settings file

void markFromSettingsFile(const char* name) {
    for (size_t i = 0; i < kListedCount; ++i)
        if (std::strcmp(kListed[i].name, name) == 0) FromSettingsFile |= uint64_t(1) << i;
}

bool isShownVariable(const char* name, size_t length) {
    static const char* const kShown[] = {"JAVA_HOME", "TMP",  "TEMP", "TMPDIR", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME",
                                         "HOME"};
    for (const char* shown : kShown)
        if (std::strlen(shown) == length && strncasecmpAscii(name, shown, length) == 0) return true;
    return false;
}

}  // namespace

void trace(const char* format, ...) {
    if (!TraceActive) return;
    va_list args;
    va_start(args, format);
    vtrace(format, args);
    va_end(args);
}

void traceStart() {
    const char* value = std::getenv("VANTREL_TRACE");
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) return;
    platform::initLock(&SecretsLock);
    TraceActive = true;
    if (std::strcmp(value, "1") == 0) return;
    size_t length = 0;
    while (length <= kPathLimit && value[length] != '\0') ++length;
    if (length > kPathLimit) {
        trace("trace: VANTREL_TRACE names a file longer than %u bytes; tracing to standard error",
              unsigned(kPathLimit));
        return;
    }
    if (platform::openAppendFile(value, &File)) {
        ToFile = true;
        return;
    }
    char reason[256];
    if (platform::systemErrorText(platform::lastError(), reason, sizeof(reason)) == 0) reason[0] = '\0';
    // The system's texts may end with a line break; the line escapes it.
    size_t n = std::strlen(reason);
    while (n > 0 && (reason[n - 1] == '\n' || reason[n - 1] == '\r' || reason[n - 1] == ' ')) reason[--n] = '\0';
    trace("trace: cannot append to \"%s\" (%s); tracing to standard error", value, reason);
}

void traceEnvironmentValue(const char* name, size_t nameLength, const char* value) {
    if (!TraceActive || value == nullptr || isShownVariable(name, nameLength)) return;
    // What a placeholder appends: the value without a quote at either end.
    size_t length = std::strlen(value);
    if (length > 0 && value[0] == '"') {
        ++value;
        --length;
    }
    if (length > 0 && value[length - 1] == '"') --length;
    platform::LockGuard guard(&SecretsLock);
    addSecret(name, nameLength, value, length);
    for (size_t start = 0, i = 0; i <= length; ++i) {
        if (i < length && value[i] != ' ') continue;
        if (i - start < length) addSecret(name, nameLength, value + start, i - start);
        start = i + 1;
    }
}

void traceSettingsFileKey(const char* key, const char* value) {
    if (!TraceActive) return;
    trace("settings file: %s = \"%s\"", key, value);
    if (std::strcmp(key, "JvmOptionsAppend") == 0) key = "JvmOptions";
    markFromSettingsFile(key);
    if (std::strcmp(key, "StdOutFile") == 0) markFromSettingsFile("StdOutMode");
    if (std::strcmp(key, "StdErrFile") == 0) markFromSettingsFile("StdErrMode");
}

void traceSettings() {
    if (!TraceActive) return;
    for (size_t i = 0; i < kListedCount; ++i) {
        const Listed& setting = kListed[i];
        const bool fromFile = (FromSettingsFile >> i) & 1;
        const unsigned id = fromFile ? 0 : setting.id;
        const char* from = fromFile ? "settings file" : id != 0 ? "resource " : "default";
        if (setting.kind == Listed::Text)
            trace("setting %s = \"%s\" (%s%.0u)", setting.name, traceText(*static_cast<char* const*>(setting.field)),
                  from, id);
        else
            trace("setting %s = %d (%s%.0u)", setting.name,
                  setting.kind == Listed::Flag ? int(*static_cast<const uint8_t*>(setting.field))
                                               : int(*static_cast<const int32_t*>(setting.field)),
                  from, id);
    }
}

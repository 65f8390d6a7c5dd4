// Placeholder expansion, argument splitting and output-file preparation: the
// text rules shared by the configuration, the VM options, the application
// arguments and the output files.
#include "core/placeholders.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/trace.h"
#include "report/report.h"

char RegistryJavaHome[260];

namespace {

// Values computed by the launcher itself (date, time, memory shares) are
// short by construction and are produced in a 256-byte buffer local to the
// call, so that expansions on different threads cannot disturb each other;
// the platform reports failure instead of cutting a date or time that would
// not fit, and the placeholder then adds nothing. The executable's folder
// has its own buffer of the platform path limit: an executable path longer
// than that is refused by the platform and the placeholder adds nothing (a
// cut folder would name a different one).
constexpr size_t kScratchSize = 256;
constexpr size_t kPathSize = 260;
constexpr int kMinimumMegabytes = 64;

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atoi of the percentage text, except that a number too big for an int
// stays out of range instead of wrapping into 1..100.
int parsePercentage(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && isAsciiSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 1000) value = 1000;  // already outside 1..100
    }
    return static_cast<int>(negative ? -value : value);
}

// A share of the physical memory in megabytes, as "%dm", at least 64m.
bool memoryShare(bool available, const char* percentText, size_t percentLength, char* out, size_t cap) {
    int percentage = parsePercentage(percentText, percentLength);
    if (percentage < 1 || percentage > 100) percentage = 100;
    platform::MemoryFigures figures{};
    if (!platform::memoryStatus(&figures)) return false;
    uint64_t bytes = available ? figures.availablePhysical : figures.totalPhysical;
    double megabytes = percentage / 100.0 * static_cast<double>(bytes) / 1024 / 1024;
    // Truncated toward zero; a figure beyond 32 bits is held at the largest.
    int32_t value = megabytes >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(megabytes);
    if (value < kMinimumMegabytes) value = kMinimumMegabytes;
    return std::snprintf(out, cap, "%dm", static_cast<int>(value)) > 0;
}

// The executable's folder, without a trailing separator.
bool executableFolder(char* out, size_t cap) {
    size_t length = platform::executablePath(out, cap);
    if (length == 0) return false;
    char* last = nullptr;
    for (char* p = out; *p != '\0'; ++p)
        if (platform::isPathSeparator(*p)) last = p;
    if (last == nullptr) return false;
    *last = '\0';
    return true;
}

bool nameIs(const char* name, size_t length, const char* expected) {
    return length == std::strlen(expected) && strncasecmpAscii(name, expected, length) == 0;
}

// Appends a value without a double quote at its start and one at its end.
// Returns whether anything was appended.
bool appendUnquoted(TextBuffer* result, const char* value) {
    size_t length = std::strlen(value);
    if (length > 0 && value[0] == '"') {
        ++value;
        --length;
    }
    if (length > 0 && value[length - 1] == '"') --length;
    if (length == 0) return false;
    appendTextRange(result, value, length);
    return true;
}

// Resolves one placeholder name and appends its value. Returns whether
// anything was appended.
bool appendPlaceholderValue(TextBuffer* result, const char* name, size_t length) {
    if (length == 0) return false;  // the "%%" pair
    if (length == 9 && std::memcmp(name, "JAVA_HOME", 9) == 0) {
        // Bounded by the buffer even if a writer left it unterminated.
        const void* end = std::memchr(RegistryJavaHome, '\0', sizeof(RegistryJavaHome));
        size_t homeLength = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - RegistryJavaHome)
                                           : sizeof(RegistryJavaHome);
        if (homeLength == 0) return false;
        appendTextRange(result, RegistryJavaHome, homeLength);
        return true;
    }

    char scratch[kScratchSize];
    if (nameIs(name, length, "APPDIR")) {
        char folder[kPathSize];
        return executableFolder(folder, sizeof(folder)) && appendUnquoted(result, folder);
    }
    if (nameIs(name, length, "DATE"))
        return platform::formatDate(scratch, sizeof(scratch)) && appendUnquoted(result, scratch);
    if (nameIs(name, length, "TIME"))
        return platform::formatTime(scratch, sizeof(scratch)) && appendUnquoted(result, scratch);
    if (length >= 8 && (std::memcmp(name, "AVAILRAM", 8) == 0 || std::memcmp(name, "TOTALRAM", 8) == 0)) {
        bool available = name[0] == 'A';
        return memoryShare(available, name + 8, length - 8, scratch, sizeof(scratch)) &&
               appendUnquoted(result, scratch);
    }

    // Any other name is an environment variable; the name may be long.
    char* variable = duplicateTextRange(name, length);
    const char* value = std::getenv(variable);
    std::free(variable);
    // It may be a secret: the trace hides it from here on.
    if (traceOn()) traceEnvironmentValue(name, length, value);
    return value != nullptr && appendUnquoted(result, value);
}

}  // namespace

char* expandPlaceholders(const char* text) {
    if (text == nullptr) return duplicateText("");
    // Values may hold placeholders themselves, and texts are expanded a
    // second time later (JvmOptions): without a bound a few variables grow a
    // text until memory runs out.
    const uint64_t limit = uint64_t(std::strlen(text)) + kMaxExpansionGrowth;
    TextBuffer result{};
    bool appended = false;
    bool inside = false;
    const char* pieceStart = text;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p != '%') continue;
        size_t pieceLength = static_cast<size_t>(p - pieceStart);
        if (!inside) {
            if (pieceLength > 0) {
                appendTextRange(&result, pieceStart, pieceLength);
                appended = true;
            }
        } else if (appendPlaceholderValue(&result, pieceStart, pieceLength)) {
            appended = true;
            // Stopped as soon as it is too long, before it grows any further.
            if (result.length > limit) break;
        }
        inside = !inside;
        pieceStart = p + 1;
    }
    size_t restLength = static_cast<size_t>(p - pieceStart);
    if (*p == '\0' && restLength > 0) {
        // A placeholder opened and never closed keeps its '%'.
        if (inside) appendTextRange(&result, pieceStart - 1, restLength + 1);
        else appendTextRange(&result, pieceStart, restLength);
        appended = true;
    }
    if (result.length > limit) {
        freeTextBuffer(&result);
        reportError("The placeholders of \"%.80s\" expand to more than %u further characters; the text is refused.",
                    text, static_cast<unsigned>(kMaxExpansionGrowth));
        return nullptr;
    }
    if (!appended) {
        freeTextBuffer(&result);
        return duplicateText(text);
    }
    return result.text;
}

namespace {

// Copies one argument's text, drops the enclosing quotes of a token that
// starts with one, and removes the escapes.
char* cutArgument(const char* start, size_t length) {
    if (length > 0 && start[0] == '"') {
        // The last character is taken for the closing quote, whatever it is.
        ++start;
        length = length >= 2 ? length - 2 : 0;
    }
    char* argument = static_cast<char*>(std::malloc(length + 1));
    if (argument == nullptr) std::abort();
    char* out = argument;
    bool pendingBackslash = false;
    for (size_t i = 0; i < length; ++i) {
        char c = start[i];
        if (pendingBackslash) {
            if (c != '"') *out++ = '\\';
            *out++ = c;
            pendingBackslash = false;
        } else if (c == '\\') {
            pendingBackslash = true;
        } else if (c != '"') {
            *out++ = c;
        }
    }
    *out = '\0';  // a backslash at the very end is dropped
    return argument;
}

// One pass of the splitting state machine. Counts the arguments, and cuts
// them into items when items is not null (items holds the counted number).
int64_t scanArguments(const char* text, char** items) {
    int64_t count = 0;
    const char* p = text;
    while (*p == ' ') ++p;
    const char* start = p;
    bool quoted = false;
    bool escaped = false;
    bool lastWasBlank = false;
    auto cut = [&](const char* end) {
        if (items != nullptr) items[count] = cutArgument(start, static_cast<size_t>(end - start));
        ++count;
    };
    for (; *p != '\0'; ++p) {
        char c = *p;
        if (c == ' ') {
            lastWasBlank = true;
            if (!quoted) {
                cut(p);
                start = p + 1;
            }
            continue;
        }
        lastWasBlank = false;
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') quoted = !quoted;
    }
    if (!lastWasBlank) cut(p);
    return count;
}

}  // namespace

ArgumentVector splitArguments(const char* text) {
    if (text == nullptr || text[0] == '\0') return ArgumentVector{0, nullptr};
    int64_t count = scanArguments(text, nullptr);
    // More arguments than a signed 32-bit count can hold are refused.
    if (count <= 0 || count > INT32_MAX) return ArgumentVector{0, nullptr};
    char** items = static_cast<char**>(std::calloc(static_cast<size_t>(count), sizeof(char*)));
    if (items == nullptr) std::abort();
    scanArguments(text, items);
    return ArgumentVector{static_cast<int32_t>(count), items};
}

void freeArgumentVector(ArgumentVector* vector) {
    for (int32_t i = 0; i < vector->count; ++i) std::free(vector->items[i]);
    std::free(vector->items);
    *vector = ArgumentVector{0, nullptr};
}

char* prepareOutputFile(const char* path) {
    char* expanded = expandPlaceholders(path);
    if (expanded == nullptr) return nullptr;
    // Each folder on the way is created when missing; failures show up later
    // when the file itself is opened.
    for (size_t i = 1; expanded[i - 1] != '\0' && expanded[i] != '\0'; ++i) {
        if (!platform::isPathSeparator(expanded[i])) continue;
        char separator = expanded[i];
        expanded[i] = '\0';
        if (platform::fileKind(expanded) == platform::FileKind::Missing) platform::createDirectory(expanded);
        expanded[i] = separator;
    }
    return expanded;
}

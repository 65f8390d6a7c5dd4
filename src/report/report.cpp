#include "report/report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"

void formatInto(char* buffer, size_t capacity, const char* format, va_list args) {
    if (capacity == 0) return;
    int written = std::vsnprintf(buffer, capacity, format, args);
    // vsnprintf cuts and terminates; a format error leaves an empty text. A
    // cut text ends on a whole character.
    if (written < 0) buffer[0] = '\0';
    buffer[capacity - 1] = '\0';
    if (written >= 0 && static_cast<size_t>(written) >= capacity)
        buffer[wholeCharacterLength(buffer, capacity - 1)] = '\0';
}

static bool reportingEnabled() { return Config.ReportingEnabled.load() != 0; }

void reportMessage(int severity, const char* text) {
    if (text == nullptr) text = "";
    // In service mode the event log, once the service has its event source;
    // before that (the service switch run by hand, where no dispatcher can be
    // reached) the report would be lost there and goes to the console.
    void* eventSource = Config.EventSource.load();
    if (Config.ServiceMode.load() != 0 && eventSource != nullptr) {
        bool information = severity == SeverityInformation;
        platform::writeEventLog(eventSource, information ? 4 : 1, information ? kEventIdInformation : kEventIdError,
                                text);
        return;
    }
    // Outside service mode the windowed launcher shows the report in a window
    // titled with the application's name; a service never does, as nobody
    // would see the window and the report would wait for them.
    if (Config.ServiceMode.load() == 0) {
        const char* title = Config.ProductName != nullptr && Config.ProductName[0] != '\0' ? Config.ProductName
                            : Config.AppName[0] != '\0'                                     ? Config.AppName
                                                                                          : nullptr;
        if (platform::showReportWindow(severity != SeverityInformation, title, text)) return;
    }
    std::fprintf(severity == SeverityInformation ? stdout : stderr, "%s\n", text);
}

void reportError(const char* format, ...) {
    if (!reportingEnabled()) return;
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof(message), format, args);
    va_end(args);
    reportMessage(SeverityError, message);
}

void reportInfo(const char* format, ...) {
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof(message), format, args);
    va_end(args);
    reportMessage(SeverityInformation, message);
}

void reportErrorWithReason(const char* format, ...) {
    if (!reportingEnabled()) return;
    // Read the code before anything else can change it.
    uint32_t code = platform::lastError();
    char reason[kReasonTextSize];
    if (platform::systemErrorText(code, reason, sizeof(reason)) == 0) reason[0] = '\0';

    char message[kReasonMessageSize];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof(message), format, args);
    va_end(args);

    char combined[kMessageBufferSize];
    std::snprintf(combined, sizeof(combined), "%s\n\nReason: %s", message, reason);
    reportMessage(SeverityError, combined);
}

void reportLastError() {
    if (!reportingEnabled()) return;
    uint32_t code = platform::lastError();
    char reason[kLastErrorTextSize];
    if (platform::systemErrorText(code, reason, sizeof(reason)) == 0) reason[0] = '\0';
    reportMessage(SeverityError, reason);
}

void reportErrorWithDetails(const char* details, const char* format, ...) {
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof(message), format, args);
    va_end(args);
    if (Config.ServiceMode.load() == 0) return;

    if (details == nullptr) details = "";
    size_t size = std::strlen(message) + std::strlen(details) + 256;
    char* combined = static_cast<char*>(std::malloc(size));
    if (combined == nullptr) return;
    std::snprintf(combined, size, "%s\n\nDetails:\n%s", message, details);
    reportMessage(SeverityError, combined);
    std::free(combined);
}

void fillMessage(char* out, size_t capacity, const char* messageTemplate, const char* argument) {
    if (capacity == 0) return;
    if (argument == nullptr) argument = "";
    BoundedText text = boundedText(out, capacity);
    bool argumentUsed = false;
    const char* literal = messageTemplate;  // start of the literal run
    for (const char* p = messageTemplate; *p != '\0'; ++p) {
        bool argumentHere = p[0] == '%' && p[1] == 's' && !argumentUsed;
        if (!argumentHere && !(p[0] == '%' && p[1] == '%')) continue;
        appendBounded(&text, literal, static_cast<size_t>(p - literal));
        if (argumentHere) {
            appendBounded(&text, argument, std::strlen(argument));
            argumentUsed = true;
        } else {
            appendBounded(&text, "%", 1);
        }
        ++p;  // the pair's second character
        literal = p + 1;
    }
    appendBounded(&text, literal, std::strlen(literal));
}

MessageBuffer formatMessage(int id, const char* argument) {
    MessageBuffer buffer;
    fillMessage(buffer.text, sizeof(buffer.text), messageText(id), argument);
    return buffer;
}

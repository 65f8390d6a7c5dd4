// Reporting: every message the launcher shows goes through these operations.
// Information goes to standard output, errors to standard error, one line
// each (the windowed Windows launcher shows each in a message box instead);
// in service mode both go to the event log. No operation ends the process,
// and a text is never used as a format.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr int SeverityInformation = 0;
constexpr int SeverityError = 1;

constexpr size_t kMessageBufferSize = 8192;
constexpr size_t kReasonMessageSize = 4096;
constexpr size_t kReasonTextSize = 4000;
constexpr size_t kLastErrorTextSize = 8192;

constexpr unsigned kEventIdInformation = 0x4FFF0001u;
constexpr unsigned kEventIdError = 0xCFFF0002u;

void reportMessage(int severity, const char* text);
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportErrorWithReason(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportLastError();
void reportErrorWithDetails(const char* details, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// vsnprintf into a fixed buffer: never overruns, cuts what does not fit.
void formatInto(char* buffer, size_t capacity, const char* format, va_list args);

// Console window handling.
void hideConsoleWindow();
void attachServiceConsole();

// A user message with its argument in place of the first "%s" ("%%" gives
// '%'). Message texts come from the executable's resources and may say
// anything, so they are never handed to printf as a format: any other '%'
// is copied as it stands. The result is cut to the message buffer size.
struct MessageBuffer {
    char text[kMessageBufferSize];
};
MessageBuffer formatMessage(int id, const char* argument = nullptr);
void fillMessage(char* out, size_t capacity, const char* messageTemplate, const char* argument);

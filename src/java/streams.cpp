#include "java/streams.h"

#include <cstdarg>

#include "report/report.h"

// Streams stay as the process has them until redirection lands.
bool setUpStandardStreams() { return true; }

void reportWithCapture(const char* format, ...) {
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof(message), format, args);
    va_end(args);
    reportError("%s", message);
}

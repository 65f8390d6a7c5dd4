// The application's standard streams: redirection to files, capture in
// service mode, and reports that carry the captured output.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Step 3 of a primary invocation, on the thread that created the VM: the
// streams whose mode is 1 go to their files; in service mode the streams
// whose mode is 2 go into the capture pipe, read by a thread of ours. False
// when a file stream could not be set up or the reader not started
// (reported); capture that cannot be set up is turned off silently.
bool setUpStandardStreams();
// The capture pipe's reader (thread procedure; the argument is the pipe):
// complete lines go to the capture, a line longer than 1024 bytes in pieces
// of that size, and at the end a last line without its line feed.
uint32_t pipeReader(void* pipe);
// Wakes the reader, lets it hand over what the pipe still holds (a last
// line without its line feed included), and closes the pipe once the reader
// has ended. Only the first caller finds a pipe; nothing to do without one.
void endCaptureReader();
// Adds text to the capture (dropping whole oldest lines when it is full; a
// NUL byte stored as '?') and, in service mode, echoes it to standard error. The capture's only
// writer apart from the report that empties it; any thread.
bool appendCapture(const char* text, size_t length);
// The same for a text of complete lines (each at most 1024 bytes) that the
// pipe's reader read at once: each line is added as appendCapture adds it,
// and the whole text is echoed with one write.
void appendCaptureLines(const char* text, size_t length);
// Reports a failure; in service mode with capture set up, the captured text
// goes with it as details, once: the capture is empty afterwards. Ends the
// capture pipe's reader first, so that the details hold what the
// application printed up to now.
void reportWithCapture(const char* format, ...) __attribute__((format(printf, 1, 2)));
// vsnprintf that cuts a text too long for the buffer after its last whole
// character. Returns what vsnprintf returned.
int formatWholeCharacters(char* buffer, size_t capacity, const char* format, va_list args);

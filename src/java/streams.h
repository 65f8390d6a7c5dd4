// The application's standard streams: redirection to files, capture in
// service mode, and reports that carry the captured output.
#pragma once

bool setUpStandardStreams();
void reportWithCapture(const char* format, ...) __attribute__((format(printf, 1, 2)));

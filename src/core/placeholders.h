// Placeholder expansion, argument splitting and output-file preparation.
#pragma once

#include <cstdint>

#include "core/text_buffer.h"

// An argument vector: a count and an array of that many heap strings
// (null when the count is 0).
struct ArgumentVector {
    int32_t count;
    char** items;
};

// The most that expansion may add to a text: the Windows command-line
// limit, which no sound option or path comes near.
constexpr uint32_t kMaxExpansionGrowth = 32767;

// Replaces %NAME% placeholders; returns a new heap string. Returns null,
// after reporting it, when the values would make the text more than
// kMaxExpansionGrowth characters longer than it is.
char* expandPlaceholders(const char* text);
// Cuts an option text into arguments, honouring quotes and backslashes.
ArgumentVector splitArguments(const char* text);
void freeArgumentVector(ArgumentVector* vector);
// Expands an output-file path and creates its missing parent directories.
// Null (reported) when the expansion is refused.
char* prepareOutputFile(const char* path);

// The value of %JAVA_HOME%: the JavaHome of the last accepted registry
// runtime (empty until one was accepted).
extern char RegistryJavaHome[260];

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

// Replaces %NAME% placeholders; returns a new heap string.
char* expandPlaceholders(const char* text);
// Cuts an option text into arguments, honouring quotes and backslashes.
ArgumentVector splitArguments(const char* text);
void freeArgumentVector(ArgumentVector* vector);
// Expands an output-file path and creates its missing parent directories.
char* prepareOutputFile(const char* path);

// The value of %JAVA_HOME%: the JavaHome of the last accepted registry
// runtime (empty until one was accepted).
extern char RegistryJavaHome[260];

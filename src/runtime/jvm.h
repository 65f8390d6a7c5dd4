// Finding the Java runtime and creating the virtual machine in this process.
#pragma once

#include <cstddef>

#include "core/text_buffer.h"

// Walks the digits of JvmSearchOrder; on success JvmPath holds the chosen
// runtime library. On failure the not-found actions have run.
bool findJavaRuntime();

// Loads the runtime and creates the VM; false when it could not (reported).
// Platform check, early working directory, the search, loading the library
// and resolving its entry points, then startJavaVm.
bool createJavaVm();

// The second half of createJavaVm once the entry points are resolved: the
// option text with the class path, expansion, splitting, JNI_CreateJavaVM.
bool startJavaVm();

// True when the path holds no '%' and names an existing directory.
bool isExistingDirectory(const char* path);
// Appends every .jar/.zip below a directory (depth first) with ';' after each.
bool appendArchivesInDirectory(TextBuffer* classPath, const char* directory);

// Tokenizer over a list that it cuts in place; *cursor is null before the
// first call. Runs of separators are skipped; returns null at the end.
char* nextToken(char* list, const char* separators, char** cursor);
// out = directory, a separator unless it already ends with one, name.
// False (and out empty) when the result would not fit in capacity - 1.
bool joinPath(char* out, size_t capacity, const char* directory, const char* name);

// Finding the Java runtime and creating the virtual machine in this process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/text_buffer.h"

// Walks the digits of JvmSearchOrder; on success JvmPath holds the chosen
// runtime library. On failure the not-found actions have run.
bool findJavaRuntime();

// What the VM is created for. The primary invocation (normal launch, service
// worker) runs in the working directory (WorkingDirectory, or the start
// directory under KeepStartDirectory), and the VM must be created there: since
// Java 11 it fixes its own idea of the current directory at creation. A
// forwarding second instance stays in the executable's folder.
enum class VmUse { Primary, Secondary };

// Loads the runtime and creates the VM; false when it could not (reported).
// Platform check, early working directory, the search, loading the library
// and resolving its entry points, then startJavaVm.
bool createJavaVm(VmUse use);

// The second half of createJavaVm once the entry points are resolved: the
// option text with the class path, expansion, the working directory of a
// primary VM, splitting, JNI_CreateJavaVM.
bool startJavaVm(VmUse use);

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

// The JAVA_VERSION of the release file of the runtime a library belongs to:
// the nearest of the library's folder and the four above it (a JDK 8 keeps
// jre/lib/amd64/server/libjvm.so that deep) that holds a release file. home
// receives that folder. False when there is none, or it names no version.
bool runtimeRelease(const char* library, char* home, size_t homeCapacity, char* version, size_t versionCapacity);
// The major version of a runtime version text ("17.0.15" 17, "25" 25); 1
// for "1.8.0_281" and older, as parseVersionSpec packs them.
int32_t javaMajorVersion(const char* version);

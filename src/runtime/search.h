// The pieces of the Java runtime search below findJavaRuntime, visible to
// the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

// Key paths under HKEY_LOCAL_MACHINE where installed runtimes register:
// each with CurrentVersion and version subkeys holding JavaHome and
// RuntimeLib. Index 7 is the key current JDK installers write.
constexpr int kRuntimeKeyCount = 8;
extern const char* const RuntimeKeyTable[kRuntimeKeyCount];

// Relative path of the runtime library below a registry JavaHome, tried
// when the entry's RuntimeLib is missing; null for none. Written in the
// Windows form; the search turns it into the platform's form.
extern const char* RuntimeSubPathHint;

enum class VersionOperator { Greater, GreaterOrEqual, Equal, Less, LessOrEqual };

struct VersionRequirement {
    VersionOperator op;
    int32_t value;  // a x 1000000 + b x 10000 + c x 100 + d
};

// "1.8.0_281" -> (>=, 1080281); "<11" -> (<, 11000000).
VersionRequirement parseVersionSpec(const char* text);
// True when the version named meets every requirement of a ';' list (an
// empty list accepts everything).
bool versionAccepted(const char* versionName, const char* requirements);

// True when the path names a file that opens for reading.
bool fileIsReadable(const char* path);

// Looks for the runtime library below a directory, depth first; on success
// path holds the directory of the find joined with the library's name.
bool findJvmLibraryInTree(const char* directory, char* path, size_t capacity);

// Tries RuntimeKeyTable[first .. first + count - 1] with the current hint.
bool searchRegistryKeys(int first, int count, char* path, size_t capacity);

// One version entry below a key. keyPath (of keyCapacity bytes) is extended
// in place with "\" and the version name once the version is accepted.
bool tryRegistryRuntime(char* keyPath, size_t keyCapacity, const char* versionName, char* path,
                        size_t capacity);

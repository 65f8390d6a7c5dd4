// Choosing the Java runtime: the methods of JvmSearchOrder, the registry
// keys with their version rules, and what happens when nothing is found.
//
// Every candidate path lives in a buffer of the platform path limit. A
// candidate that would not fit is skipped: cutting it would name a different
// file, and loading the wrong library is worse than loading none.
#include "runtime/search.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "runtime/jvm.h"

const char* const RuntimeKeyTable[kRuntimeKeyCount] = {
    "Software\\JavaSoft\\JRE",
    "Software\\JavaSoft\\Java Runtime Environment",
    "Software\\IBM\\Java2 Runtime Environment",
    "Software\\JRockit\\Java Runtime Environment",
    "Software\\JavaSoft\\Java Development Kit",
    "Software\\IBM\\Java Development Kit",
    "Software\\JRockit\\Java Development Kit",
};

const char* RuntimeSubPathHint = nullptr;

namespace {

constexpr size_t kRegistryPathSize = 256;   // working copy of a key path
constexpr size_t kRegistryNameSize = 256;   // subkey names and CurrentVersion
constexpr size_t kVersionFieldLimit = 255;  // longer fields count as 0
constexpr int kVersionFieldCount = 4;

const char* const kHintClient = "jre\\bin\\client\\jvm.dll";
const char* const kHintServer = "jre\\bin\\server\\jvm.dll";
const char* const kHintJrockit = "jre\\bin\\jrockit\\jvm.dll";
const char* const kHintClassic = "jre\\bin\\classic\\jvm.dll";

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// Copies text when it fits in capacity - 1 characters; refuses otherwise.
bool copyText(char* out, size_t capacity, const char* text) {
    size_t n = std::strlen(text);
    if (capacity == 0) return false;
    if (n >= capacity) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, text, n + 1);
    return true;
}

bool namesEqual(const char* a, const char* b) {
    return platform::fileNamesIgnoreCase() ? strcasecmpAscii(a, b) == 0 : std::strcmp(a, b) == 0;
}

// The hint in this platform's form: its separators, its library name.
bool platformHint(const char* hint, char* out, size_t capacity) {
    static const char kWindowsName[] = "jvm.dll";
    size_t n = std::strlen(hint);
    size_t stem = n;
    if (n >= sizeof(kWindowsName) - 1 && std::strcmp(hint + n - (sizeof(kWindowsName) - 1), kWindowsName) == 0)
        stem = n - (sizeof(kWindowsName) - 1);
    const char* library = platform::runtimeLibraryName();
    size_t libraryLength = stem < n ? std::strlen(library) : 0;
    if (stem + libraryLength >= capacity) return false;
    for (size_t i = 0; i < stem; ++i) out[i] = hint[i] == '\\' ? platform::pathSeparator() : hint[i];
    std::memcpy(out + stem, library, libraryLength);
    out[stem + libraryLength] = '\0';
    return true;
}

// A candidate file, where it came from (`what`) and what became of it.
void traceCandidate(const char* what, const char* path, const char* verdict) {
    trace("runtime: %s \"%s\": %s", what, path, verdict);
}

bool tryCandidate(const char* path, const char* what) {
    const bool readable = fileIsReadable(path);
    traceCandidate(what, path, readable ? "taken" : "no readable file");
    return readable;
}

bool methodJvmPath(char* path, size_t capacity) {
    if (Config.JvmPath == nullptr || Config.JvmPath[0] == '\0') {
        trace("runtime: JvmPath empty");
        return false;
    }
    char* cursor = nullptr;
    for (char* entry = nextToken(Config.JvmPath, ";", &cursor); entry != nullptr;
         entry = nextToken(Config.JvmPath, ";", &cursor)) {
        if (!copyText(path, capacity, entry)) {
            traceCandidate("JvmPath", entry, "too long");
            continue;
        }
        if (tryCandidate(path, "JvmPath")) return true;
    }
    return false;
}

bool methodJavaHome(char* path, size_t capacity) {
    const char* value = std::getenv("JAVA_HOME");
    if (value == nullptr) {
        trace("runtime: JAVA_HOME unset");
        return false;
    }
    // The value without its quotes. Quotes are taken out of the whole value
    // before the limit applies, so that a long run of them cannot push the
    // real path out of the considered part and leave a different one.
    char home[kPathCapacity + 1];
    size_t used = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '"') continue;
        if (used == kPathCapacity) {  // no candidate below it could fit
            traceCandidate("JAVA_HOME", value, "too long");
            return false;
        }
        home[used++] = *p;
    }
    home[used] = '\0';
    for (const char* const* candidate = platform::javaHomeRuntimeCandidates(); *candidate != nullptr; ++candidate) {
        size_t extra = std::strlen(*candidate);
        if (used + extra >= capacity) continue;
        std::memcpy(path, home, used);
        std::memcpy(path + used, *candidate, extra + 1);
        if (tryCandidate(path, "JAVA_HOME")) return true;
    }
    path[0] = '\0';
    return false;
}

bool runRegistryStep(const char* hint, int first, int count, char* path, size_t capacity) {
    RuntimeSubPathHint = hint;
    return searchRegistryKeys(first, count, path, capacity);
}

bool methodRegistry(char digit, char* path, size_t capacity) {
    switch (digit) {
        case '1':
            return runRegistryStep(nullptr, 0, 3, path, capacity) ||
                   runRegistryStep(kHintClient, 0, 1, path, capacity) ||
                   runRegistryStep(kHintServer, 0, 1, path, capacity);
        case '2':
            return runRegistryStep(kHintClient, 3, 1, path, capacity) ||
                   runRegistryStep(kHintJrockit, 5, 1, path, capacity);
        case '3':
            return runRegistryStep(kHintServer, 3, 1, path, capacity);
        case '4':
            return runRegistryStep(kHintClassic, 3, 2, path, capacity);
        default:
            return false;
    }
}

bool runMethod(char digit, char* path, size_t capacity) {
    trace("runtime: method %c", digit);
    switch (digit) {
        case '0': return methodJvmPath(path, capacity);
        case '5': return methodJavaHome(path, capacity);
        case '1':
        case '2':
        case '3':
        case '4': return methodRegistry(digit, path, capacity);
        default: return false;  // not a method: skipped
    }
}

void runNotFoundActions() {
    trace("runtime: none found");
    if (Config.ShowJvmNotFoundMessage)
        reportError("%s", formatMessage(MsgJvmNotFound, orEmpty(Config.JvmVersion)).text);
    if (Config.JvmNotFoundDocument != nullptr && Config.JvmNotFoundDocument[0] != '\0')
        platform::shellOpen(Config.JvmNotFoundDocument);
    if (Config.JvmNotFoundCommand != nullptr && Config.JvmNotFoundCommand[0] != '\0')
        platform::runCommand(Config.JvmNotFoundCommand);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// atoi of a field that holds digits and at most one trailing other
// character. Saturates instead of overflowing: no real version comes near.
int64_t fieldValue(const char* start, size_t length) {
    if (length > kVersionFieldLimit) return 0;
    int64_t value = 0;
    for (size_t i = 0; i < length && isDigit(start[i]); ++i) {
        value = value * 10 + (start[i] - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return value;
}

}  // namespace

char* nextToken(char* list, const char* separators, char** cursor) {
    char* p = *cursor != nullptr ? *cursor : list;
    if (p == nullptr) return nullptr;
    while (*p != '\0' && std::strchr(separators, *p) != nullptr) ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* token = p;
    while (*p != '\0' && std::strchr(separators, *p) == nullptr) ++p;
    if (*p != '\0') *p++ = '\0';
    *cursor = p;
    return token;
}

bool joinPath(char* out, size_t capacity, const char* directory, const char* name) {
    if (capacity == 0) return false;
    size_t directoryLength = std::strlen(directory);
    size_t nameLength = std::strlen(name);
    bool needsSeparator = directoryLength == 0 || !platform::isPathSeparator(directory[directoryLength - 1]);
    size_t total = directoryLength + (needsSeparator ? 1 : 0) + nameLength;
    if (total >= capacity) {
        out[0] = '\0';
        return false;
    }
    // out may be the directory itself: move, and write the name after it.
    std::memmove(out, directory, directoryLength);
    if (needsSeparator) out[directoryLength++] = platform::pathSeparator();
    std::memmove(out + directoryLength, name, nameLength);
    out[total] = '\0';
    return true;
}

bool fileIsReadable(const char* path) {
    // A directory opens for reading on POSIX but is no library; Windows
    // refuses to open it at all. Both count it as missing.
    if (path[0] == '\0' || platform::fileKind(path) != platform::FileKind::File) return false;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

VersionRequirement parseVersionSpec(const char* text) {
    VersionRequirement result{VersionOperator::GreaterOrEqual, 0};
    size_t length = std::strlen(text);
    const char* p = text;
    if (p[0] == '=') {
        result.op = VersionOperator::Equal;
        ++p;
    } else if (length >= 3) {
        if (p[0] == '>' && p[1] == '=') {
            p += 2;
        } else if (p[0] == '>') {
            result.op = VersionOperator::Greater;
            ++p;
        } else if (p[0] == '<' && p[1] == '=') {
            result.op = VersionOperator::LessOrEqual;
            p += 2;
        } else if (p[0] == '<') {
            result.op = VersionOperator::Less;
            ++p;
        }
    }

    int64_t fields[kVersionFieldCount] = {0, 0, 0, 0};
    int count = 0;
    const char* fieldStart = p;
    for (const char* c = p; *c != '\0' && count < kVersionFieldCount; ++c) {
        bool last = c[1] == '\0';
        if (last) {
            // The text's last character closes the last field and belongs to it.
            fields[count++] = fieldValue(fieldStart, static_cast<size_t>(c + 1 - fieldStart));
        } else if (!isDigit(*c)) {
            fields[count++] = fieldValue(fieldStart, static_cast<size_t>(c - fieldStart));
            fieldStart = c + 1;
        }
    }
    int64_t packed = fields[0] * 1000000 + fields[1] * 10000 + fields[2] * 100 + fields[3];
    result.value = packed > INT32_MAX ? INT32_MAX : static_cast<int32_t>(packed);
    return result;
}

bool versionAccepted(const char* versionName, const char* requirements) {
    int32_t version = parseVersionSpec(versionName).value;
    char* list = duplicateText(orEmpty(requirements));
    bool accepted = true;
    char* cursor = nullptr;
    for (char* item = nextToken(list, ";", &cursor); item != nullptr && accepted;
         item = nextToken(list, ";", &cursor)) {
        VersionRequirement need = parseVersionSpec(item);
        switch (need.op) {
            case VersionOperator::Greater: accepted = version > need.value; break;
            case VersionOperator::GreaterOrEqual: accepted = version >= need.value; break;
            case VersionOperator::Equal: accepted = version == need.value; break;
            case VersionOperator::Less: accepted = version < need.value; break;
            case VersionOperator::LessOrEqual: accepted = version <= need.value; break;
        }
    }
    std::free(list);
    return accepted;
}

namespace {

bool findLibraryBelow(const char* directory, char* path, size_t capacity, platform::VisitedDirectories* visited,
                      bool start) {
    // The enumeration pattern ("*.*" below the directory) must fit the path
    // limit as well; a directory too deep for it is not searched. Nor is one
    // this search has already been in (a loop of links).
    char pattern[kPathCapacity];
    if (!joinPath(pattern, sizeof(pattern), directory, "*.*")) return false;
    if (!platform::enterDirectory(visited, directory, start)) return false;

    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry entry;
    platform::EnumResult state = platform::openDirectoryEnum(directory, &handle, &entry);
    const char* library = platform::runtimeLibraryName();
    bool found = false;
    while (state == platform::EnumResult::Entry && !found) {
        if (std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0) {
            if (namesEqual(entry.name, library)) {
                found = joinPath(path, capacity, directory, library);
            } else if (entry.isDirectory) {
                char below[kPathCapacity];
                if (joinPath(below, sizeof(below), directory, entry.name))
                    found = findLibraryBelow(below, path, capacity, visited, false);
            }
        }
        if (!found) state = platform::nextDirectoryEntry(handle, &entry);
    }
    if (handle != nullptr) platform::closeDirectoryEnum(handle);
    return found;
}

}  // namespace

bool findJvmLibraryInTree(const char* directory, char* path, size_t capacity) {
    platform::VisitedDirectories* visited = platform::newVisitedDirectories();
    bool found = findLibraryBelow(directory, path, capacity, visited, true);
    platform::freeVisitedDirectories(visited);
    return found;
}

bool tryRegistryRuntime(char* keyPath, size_t keyCapacity, const char* versionName, char* path,
                        size_t capacity) {
    if (!versionAccepted(versionName, Config.JvmVersion)) {
        trace("runtime: key \"%s\" version %s: fails JvmVersion", keyPath, versionName);
        return false;
    }

    // The version's own key; a name that does not fit names no key we could
    // read, so the entry is passed over.
    size_t keyLength = std::strlen(keyPath);
    size_t nameLength = std::strlen(versionName);
    if (keyLength + 1 + nameLength >= keyCapacity) return false;
    keyPath[keyLength] = '\\';
    std::memcpy(keyPath + keyLength + 1, versionName, nameLength + 1);

    std::memset(RegistryJavaHome, 0, sizeof(RegistryJavaHome));
    platform::readRegistryString(keyPath, "JavaHome", RegistryJavaHome, sizeof(RegistryJavaHome));
    trace("runtime: key \"%.*s\" version %s: accepted, JavaHome \"%s\"", int(keyLength), keyPath, versionName,
          RegistryJavaHome);
    if (capacity == 0) return false;
    std::memset(path, 0, capacity);
    platform::readRegistryString(keyPath, "RuntimeLib", path, capacity);
    if (tryCandidate(path, "RuntimeLib")) return true;

    if (RegistryJavaHome[0] == '\0') return false;
    if (Config.JvmPath != nullptr && Config.JvmPath[0] != '\0' &&
        joinPath(path, capacity, RegistryJavaHome, Config.JvmPath) && tryCandidate(path, "JavaHome+JvmPath"))
        return true;
    if (RuntimeSubPathHint != nullptr) {
        char hint[kPathCapacity];
        if (platformHint(RuntimeSubPathHint, hint, sizeof(hint)) &&
            joinPath(path, capacity, RegistryJavaHome, hint) && tryCandidate(path, "JavaHome+hint"))
            return true;
    }
    const bool found = findJvmLibraryInTree(RegistryJavaHome, path, capacity);
    traceCandidate("below JavaHome", found ? path : RegistryJavaHome, found ? "taken" : "no runtime library");
    return found;
}

bool searchRegistryKeys(int first, int count, char* path, size_t capacity) {
    for (int index = first; index < first + count && index < kRuntimeKeyCount; ++index) {
        const char* key = RuntimeKeyTable[index];
        char keyPath[kRegistryPathSize];
        char version[kRegistryNameSize];

        // The entry the key names as current comes first (and again below).
        copyText(keyPath, sizeof(keyPath), key);
        if (platform::readRegistryString(key, "CurrentVersion", version, sizeof(version))) {
            trace("runtime: key \"%s\" CurrentVersion %s", key, version);
            if (tryRegistryRuntime(keyPath, sizeof(keyPath), version, path, capacity)) return true;
        }

        platform::RegistryKey* handle = platform::openRegistryKey(key);
        if (handle == nullptr) {
            trace("runtime: key \"%s\" absent", key);
            continue;
        }
        char name[kRegistryNameSize];
        for (uint32_t i = 0; platform::enumRegistrySubkey(handle, i, name, sizeof(name)); ++i) {
            copyText(keyPath, sizeof(keyPath), key);
            if (tryRegistryRuntime(keyPath, sizeof(keyPath), name, path, capacity)) {
                platform::closeRegistryKey(handle);
                return true;
            }
        }
        platform::closeRegistryKey(handle);
    }
    return false;
}

bool runtimeHomeOfLibrary(const char* library, char* home, size_t capacity) {
    if (!copyText(home, capacity, library)) return false;
    for (int level = 0; level < 3; ++level)
        if (!cutAtLastSeparator(home)) return false;
    return home[0] != '\0';
}

bool readRuntimeReleaseVersion(const char* home, char* version, size_t capacity) {
    constexpr size_t kReleaseLimit = 64 * 1024;  // a release file is a few hundred bytes
    static const char kKey[] = "JAVA_VERSION=";
    char path[kPathCapacity];
    if (capacity == 0 || !joinPath(path, sizeof(path), home, "release")) return false;
    platform::FileKind kind;
    uint64_t size = 0;
    platform::InputFile* file = platform::openInputFile(path, &kind, &size);
    if (file == nullptr) return false;
    char* text = static_cast<char*>(std::malloc(kReleaseLimit + 1));
    if (text == nullptr) std::abort();
    size_t used = 0, got = 0;
    while (used < kReleaseLimit && platform::readInputFile(file, text + used, kReleaseLimit - used, &got) && got > 0)
        used += got;
    platform::closeInputFile(file);
    text[used] = '\0';
    const char* line = text;
    while (line != nullptr && std::strncmp(line, kKey, sizeof(kKey) - 1) != 0) {
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    const bool found = line != nullptr;
    if (found) {
        const char* value = line + sizeof(kKey) - 1;
        size_t length = std::strcspn(value, "\r\n");
        if (length > 0 && value[0] == '"') ++value, --length;
        if (length > 0 && value[length - 1] == '"') --length;
        if (length >= capacity) length = wholeCharacterLength(value, capacity - 1);
        std::memcpy(version, value, length);
        version[length] = '\0';
    }
    std::free(text);
    return found;
}

int32_t javaMajorVersion(const char* version) { return parseVersionSpec(version).value / 1000000; }

bool findJavaRuntime() {
    char path[kPathCapacity];
    path[0] = '\0';
    // What %JAVA_HOME% expands to comes from this search alone.
    RegistryJavaHome[0] = '\0';
    trace("runtime: order \"%s\"", orEmpty(Config.JvmSearchOrder));
    bool found = false;
    for (const char* digit = orEmpty(Config.JvmSearchOrder); *digit != '\0' && !found; ++digit)
        found = runMethod(*digit, path, sizeof(path));
    if (!found) {
        runNotFoundActions();
        return false;
    }
    replaceText(&Config.JvmPath, duplicateText(path));
    trace("runtime: chosen \"%s\"", path);
    return true;
}

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
    "Software\\JavaSoft\\JDK",
};

const char* RuntimeSubPathHint = nullptr;

namespace {

// Keys of OpenJDK distributions' own installers, where the runtime's folder
// is one value of a key below each version subkey. Their installers can
// write the JavaSoft keys too (an option, or only when no other Java is
// installed), so these find the runtimes that have only their own key.
// Layouts as their installers' documentation and maintainers give them:
//   Eclipse Adoptium (Temurin): Software\Eclipse Adoptium\JDK|JRE\<version>\<vm>\MSI, value Path (the
//     installer's CONFIGURATION.md and wix/README.md; adoptium-support#155: the same under HKCU for a
//     per-user install).
//   Microsoft Build of OpenJDK: the same layout under Software\Microsoft\JDK (microsoft/openjdk#143: its
//     MSI is Adoptium's installer).
//   Azul Zulu: the JavaSoft keys when no other Java has them, else only its own (adoptium/installer#64
//     quotes Azul's behaviour); that key, Software\Azul Systems\Zulu\zulu-<major> with the value
//     InstallationPath, is as its installer writes it: no documentation of it was found.
//   BellSoft Liberica and Amazon Corretto write the JavaSoft keys: Software\JavaSoft\JDK from 11 on
//     (corretto-11#301; bell-sw/Liberica#54), Java Runtime Environment and Java Development Kit for 8
//     (corretto-8#14, #40). Oracle and Red Hat document Software\JavaSoft\JDK\<version> with JavaHome
//     and RuntimeLib and CurrentVersion on the key (Red Hat, "OpenJDK MSI installer components").
struct VendorKey {
    const char* key;
    const char* namePrefix;  // before the version in a subkey's name
    const char* homeValue;   // the value that holds the runtime's folder
    bool msi;                // the value lies in <version>\MSI or <version>\<vm>\MSI
};
const VendorKey kVendorKeys[] = {
    {"Software\\Eclipse Adoptium\\JDK", "", "Path", true},
    {"Software\\Eclipse Adoptium\\JRE", "", "Path", true},
    {"Software\\Microsoft\\JDK", "", "Path", true},
    {"Software\\Azul Systems\\Zulu", "zulu-", "InstallationPath", false},
};
constexpr uint32_t kMaxVmSubkeys = 16;  // hotspot, openj9, ... below one version

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

enum class Candidate { Missing, TooOld, Taken };

// A readable library whose runtime's release file names a version that
// fails JvmVersion is passed over; one without a release file is taken.
Candidate judgeCandidate(const char* path, const char* what) {
    if (!fileIsReadable(path)) {
        traceCandidate(what, path, "no readable file");
        return Candidate::Missing;
    }
    char home[kPathCapacity];
    char version[kRegistryNameSize];
    if (runtimeRelease(path, home, sizeof(home), version, sizeof(version)) &&
        !versionAccepted(version, Config.JvmVersion)) {
        trace("runtime: %s \"%s\": runtime \"%s\" is version %s, fails JvmVersion \"%s\"", what, path, home, version,
              orEmpty(Config.JvmVersion));
        return Candidate::TooOld;
    }
    traceCandidate(what, path, "taken");
    return Candidate::Taken;
}

bool tryCandidate(const char* path, const char* what) { return judgeCandidate(path, what) == Candidate::Taken; }

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
        const Candidate verdict = judgeCandidate(path, "JAVA_HOME");
        if (verdict == Candidate::Taken) return true;
        if (verdict == Candidate::TooOld) break;  // every candidate below is of that runtime
    }
    path[0] = '\0';
    return false;
}

bool runRegistryStep(const char* hint, int first, int count, char* path, size_t capacity) {
    RuntimeSubPathHint = hint;
    return searchRegistryKeys(first, count, path, capacity);
}

bool searchVendorKeys(char* path, size_t capacity);

bool methodRegistry(char digit, char* path, size_t capacity) {
    switch (digit) {
        case '1':
            // The keys current installers write come after the classic ones.
            return runRegistryStep(nullptr, 0, 3, path, capacity) ||
                   runRegistryStep(nullptr, 7, 1, path, capacity) || searchVendorKeys(path, capacity) ||
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

bool runtimeRelease(const char* library, char* home, size_t homeCapacity, char* version, size_t versionCapacity) {
    constexpr int kLevels = 5;                // the library's folder and four above it
    constexpr size_t kReleaseLimit = 65536;   // far beyond any release file
    static const char kKey[] = "JAVA_VERSION=";
    if (!copyText(home, homeCapacity, library)) return false;
    for (int level = 0; level < kLevels && cutAtLastSeparator(home); ++level) {
        char release[kPathCapacity];
        if (!joinPath(release, sizeof(release), home, "release")) return false;
        platform::FileKind kind = platform::FileKind::Missing;
        uint64_t size = 0;
        platform::InputFile* file = platform::openInputFile(release, &kind, &size);
        if (file == nullptr) {
            if (kind == platform::FileKind::Missing) continue;
            return false;
        }
        char* text = static_cast<char*>(std::malloc(kReleaseLimit + 1));
        if (text == nullptr) std::abort();
        size_t length = 0, got = 0;
        while (length < kReleaseLimit && platform::readInputFile(file, text + length, kReleaseLimit - length, &got) &&
               got > 0)
            length += got;
        platform::closeInputFile(file);
        text[length] = '\0';
        bool found = false;
        for (char* line = text; line != nullptr && !found;) {
            char* next = std::strpbrk(line, "\r\n");
            if (next != nullptr) *next++ = '\0';
            if (std::strncmp(line, kKey, sizeof(kKey) - 1) == 0) {
                size_t used = 0;
                for (const char* p = line + sizeof(kKey) - 1; *p != '\0' && used + 1 < versionCapacity; ++p)
                    if (*p != '"') version[used++] = *p;
                version[used] = '\0';
                found = used > 0;
            }
            line = next;
        }
        std::free(text);
        return found;  // the first release file decides, with a version or without
    }
    return false;
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

namespace {

// Registry entries judged in this search. Method 1 walks the JavaSoft JRE key
// once more for each hint; an entry met again gets the same verdict for
// everything but the hint, so only the hint is tried (and traced) then.
constexpr int kRememberedEntries = 64;  // beyond: judged again, traced again
uint32_t JudgedEntries[kRememberedEntries];
int JudgedCount = 0;

bool firstSight(const char* keyPath) {
    uint32_t hash = 2166136261u;  // FNV-1a of the key path, without case
    for (const char* p = keyPath; *p != '\0'; ++p) {
        char c = (*p >= 'A' && *p <= 'Z') ? char(*p + 32) : *p;
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    for (int i = 0; i < JudgedCount; ++i)
        if (JudgedEntries[i] == hash) return false;
    if (JudgedCount < kRememberedEntries) JudgedEntries[JudgedCount++] = hash;
    return true;
}

// The library below a registry JavaHome (RegistryJavaHome): the first JvmPath
// entry, the hint, then the tree search. A library whose runtime is too old
// ends the entry, as do all others of that folder.
bool libraryBelowHome(char* path, size_t capacity) {
    if (RegistryJavaHome[0] == '\0') return false;
    Candidate verdict = Candidate::Missing;
    if (Config.JvmPath != nullptr && Config.JvmPath[0] != '\0' &&
        joinPath(path, capacity, RegistryJavaHome, Config.JvmPath))
        verdict = judgeCandidate(path, "JavaHome+JvmPath");
    char hint[kPathCapacity];
    if (verdict == Candidate::Missing && RuntimeSubPathHint != nullptr &&
        platformHint(RuntimeSubPathHint, hint, sizeof(hint)) && joinPath(path, capacity, RegistryJavaHome, hint))
        verdict = judgeCandidate(path, "JavaHome+hint");
    if (verdict == Candidate::Missing) {
        if (findJvmLibraryInTree(RegistryJavaHome, path, capacity))
            verdict = judgeCandidate(path, "below JavaHome");
        else
            traceCandidate("below JavaHome", RegistryJavaHome, "no runtime library");
    }
    return verdict == Candidate::Taken;
}

// The entry was passed over: %JAVA_HOME% does not name its runtime.
bool rejectEntry() {
    RegistryJavaHome[0] = '\0';
    return false;
}

}  // namespace

bool tryRegistryRuntime(char* keyPath, size_t keyCapacity, const char* versionName, char* path,
                        size_t capacity) {
    // The version's own key; a name that does not fit names no key we could
    // read, so the entry is passed over.
    size_t keyLength = std::strlen(keyPath);
    size_t nameLength = std::strlen(versionName);
    if (keyLength + 1 + nameLength >= keyCapacity) return false;
    keyPath[keyLength] = '\\';
    std::memcpy(keyPath + keyLength + 1, versionName, nameLength + 1);

    const bool first = firstSight(keyPath);
    if (!versionAccepted(versionName, Config.JvmVersion)) {
        if (traceOn() && first) {
            char home[kPathCapacity];
            platform::readRegistryString(keyPath, "JavaHome", home, sizeof(home));
            trace("runtime: key \"%s\" (JavaHome \"%s\"): version fails JvmVersion", keyPath, home);
        }
        keyPath[keyLength] = '\0';
        return false;
    }

    std::memset(RegistryJavaHome, 0, sizeof(RegistryJavaHome));
    platform::readRegistryString(keyPath, "JavaHome", RegistryJavaHome, sizeof(RegistryJavaHome));
    if (capacity == 0) return false;
    if (!first) {
        char hint[kPathCapacity];
        if (RuntimeSubPathHint != nullptr && RegistryJavaHome[0] != '\0' &&
            platformHint(RuntimeSubPathHint, hint, sizeof(hint)) && joinPath(path, capacity, RegistryJavaHome, hint) &&
            tryCandidate(path, "JavaHome+hint"))
            return true;
        return rejectEntry();
    }
    trace("runtime: key \"%s\" (JavaHome \"%s\"): version accepted", keyPath, RegistryJavaHome);
    std::memset(path, 0, capacity);
    platform::readRegistryString(keyPath, "RuntimeLib", path, capacity);
    const Candidate verdict = judgeCandidate(path, "RuntimeLib");
    if (verdict == Candidate::Taken) return true;
    if (verdict == Candidate::TooOld || !libraryBelowHome(path, capacity)) return rejectEntry();
    return true;
}

namespace {

// The folder a vendor key's version subkey names, into RegistryJavaHome:
// its home value directly, or in its MSI subkey, or in <vm>\MSI below it.
bool readVendorHome(const VendorKey& vendor, const char* versionKey) {
    char key[kRegistryPathSize];
    RegistryJavaHome[0] = '\0';
    if (!vendor.msi) return platform::readRegistryString(versionKey, vendor.homeValue, RegistryJavaHome, kPathCapacity);
    if (joinPath(key, sizeof(key), versionKey, "MSI") &&
        platform::readRegistryString(key, vendor.homeValue, RegistryJavaHome, kPathCapacity))
        return true;
    platform::RegistryKey* handle = platform::openRegistryKey(versionKey);
    bool found = false;
    char vm[kRegistryNameSize];
    for (uint32_t i = 0; handle != nullptr && !found && i < kMaxVmSubkeys &&
                         platform::enumRegistrySubkey(handle, i, vm, sizeof(vm));
         ++i)
        found = joinPath(key, sizeof(key), versionKey, vm) && joinPath(key, sizeof(key), key, "MSI") &&
                platform::readRegistryString(key, vendor.homeValue, RegistryJavaHome, kPathCapacity);
    platform::closeRegistryKey(handle);
    return found;
}

// One version subkey of a vendor key: its version checked, then the library
// below the folder it names, as below a JavaHome.
bool tryVendorRuntime(const VendorKey& vendor, const char* name, char* path, size_t capacity) {
    char versionKey[kRegistryPathSize];
    if (!joinPath(versionKey, sizeof(versionKey), vendor.key, name)) return false;
    const size_t prefix = std::strlen(vendor.namePrefix);
    const char* version = strncasecmpAscii(name, vendor.namePrefix, prefix) == 0 ? name + prefix : name;
    if (!readVendorHome(vendor, versionKey)) {
        trace("runtime: key \"%s\": no %s", versionKey, vendor.homeValue);
        return false;
    }
    // Installers write the folder with a trailing separator.
    size_t length = std::strlen(RegistryJavaHome);
    while (length > 1 && platform::isPathSeparator(RegistryJavaHome[length - 1])) RegistryJavaHome[--length] = '\0';
    if (!versionAccepted(version, Config.JvmVersion)) {
        trace("runtime: key \"%s\" (%s \"%s\"): version fails JvmVersion", versionKey, vendor.homeValue,
              RegistryJavaHome);
        return rejectEntry();
    }
    trace("runtime: key \"%s\" (%s \"%s\"): version accepted", versionKey, vendor.homeValue, RegistryJavaHome);
    for (const char* const* below = platform::javaHomeRuntimeCandidates(); *below != nullptr; ++below) {
        if (length + std::strlen(*below) >= capacity) continue;
        std::memcpy(path, RegistryJavaHome, length);
        std::memcpy(path + length, *below, std::strlen(*below) + 1);
        const Candidate verdict = judgeCandidate(path, "below the folder");
        if (verdict == Candidate::Taken) return true;
        if (verdict == Candidate::TooOld) return rejectEntry();
    }
    RuntimeSubPathHint = nullptr;
    return libraryBelowHome(path, capacity) || rejectEntry();
}

bool searchVendorKeys(char* path, size_t capacity) {
    for (const VendorKey& vendor : kVendorKeys) {
        platform::RegistryKey* handle = platform::openRegistryKey(vendor.key);
        if (handle == nullptr) {
            trace("runtime: key \"%s\" absent", vendor.key);
            continue;
        }
        char name[kRegistryNameSize];
        bool found = false;
        for (uint32_t i = 0; !found && platform::enumRegistrySubkey(handle, i, name, sizeof(name)); ++i)
            found = tryVendorRuntime(vendor, name, path, capacity);
        platform::closeRegistryKey(handle);
        if (found) return true;
    }
    return false;
}

}  // namespace

bool searchRegistryKeys(int first, int count, char* path, size_t capacity) {
    for (int index = first; index < first + count && index < kRuntimeKeyCount; ++index) {
        const char* key = RuntimeKeyTable[index];
        char keyPath[kRegistryPathSize];
        char version[kRegistryNameSize];

        // The entry the key names as current comes first; the enumeration
        // passes over it, since it would meet the same verdict again.
        copyText(keyPath, sizeof(keyPath), key);
        const bool current = platform::readRegistryString(key, "CurrentVersion", version, sizeof(version));
        if (current) {
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
            if (current && strcasecmpAscii(name, version) == 0) continue;
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

int32_t javaMajorVersion(const char* version) { return parseVersionSpec(version).value / 1000000; }

bool findJavaRuntime() {
    char path[kPathCapacity];
    path[0] = '\0';
    // What %JAVA_HOME% expands to comes from this search alone.
    RegistryJavaHome[0] = '\0';
    JudgedCount = 0;
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

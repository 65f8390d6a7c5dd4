// The class-data cache (ClassDataCache).
//
// Every supported runtime (Java 17 and later) gets the same mechanism, the
// dynamic archive: the first start runs with -XX:ArchiveClassesAtExit, later
// starts with -XX:SharedArchiveFile. The archive is never written under its
// own name: a runtime maps whatever file that name holds, and Java 17 dies
// of a SIGBUS on one cut short. Each writing start has the VM write its own
// temporary file and renames it into place once the VM has ended, so two
// first starts at once each leave a whole archive and the last one stays.
// (-XX:+AutoCreateSharedArchive of Java 19 and later writes under the final
// name, so it is not used; nor is Java 25's AOT cache, whose recording start
// takes several times as long as a plain one.)
//
// What makes an archive valid goes into its name: the launcher (path, size,
// time), the runtime (folder, version), every class-path entry (name, size,
// time) and the VM options. Left out are properties (-D) and memory sizes
// (-Xmx, -Xms, -Xmn, -Xss): placeholders such as %DATE% and %AVAILRAM50% may
// change them at every start, and the runtime takes an archive across them;
// should one not fit after all, the runtime refuses it, this start removes
// it and the next writes a new one. A start removes the archives of this
// application that carry another digest, and the files of its starts that
// have ended without tidying up.
#include "core/class_data_cache.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/trace.h"

namespace {

constexpr int kOldestRuntime = 17;         // the first with -XX:ArchiveClassesAtExit
constexpr size_t kAppNameInFileName = 32;  // bytes of AppName in the file names
constexpr uint64_t kLogLimit = 1024 * 1024;  // the part of the runtime's log that is read
constexpr int kTracedLogLines = 20;        // per reading; the rest is counted

const char kClassPathOption[] = "-Djava.class.path=";

// Options by which the application's own JvmOptions already choose how
// classes are shared: the cache then stays out of the way.
const char* const kSharingOptions[] = {"-Xshare", "-XX:SharedArchiveFile", "-XX:ArchiveClassesAtExit",
                                       "-XX:+AutoCreateSharedArchive", "-XX:-UseSharedSpaces",
                                       "-XX:SharedClassListFile", "-XX:DumpLoadedClassList", "-XX:AOT", "-XX:+AOT"};
// Options left out of the digest (see above).
const char* const kUndigestedOptions[] = {"-D", "-Xmx", "-Xms", "-Xmn", "-Xss"};

struct CacheState {
    bool active;
    bool writing;
    char* archive;    // the cache's own name
    char* temporary;  // where this start's VM writes it
    char* log;        // the runtime's class-sharing log of this start
    uint64_t logRead;  // bytes of the log already looked at
    std::atomic<bool> finished;
};
CacheState Cache;

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

template <size_t N>
const char* startsWithAny(const char* text, const char* const (&prefixes)[N]) {
    for (const char* prefix : prefixes)
        if (startsWith(text, prefix)) return prefix;
    return nullptr;
}

// 64-bit FNV-1a over the pieces that make a cache valid; each piece ends
// with a zero byte, so that "ab","c" and "a","bc" differ.
struct Digest {
    uint64_t value = 0xcbf29ce484222325ULL;
    void add(const void* data, size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < length; ++i) value = (value ^ bytes[i]) * 0x100000001b3ULL;
        value = (value ^ 0) * 0x100000001b3ULL;
    }
    void add(const char* text) { add(text, std::strlen(text)); }
    // A file's size and time (or that it is missing).
    void addFacts(const platform::FileFacts* facts) {
        if (facts == nullptr) return add("missing");
        add(&facts->size, sizeof(facts->size));
        add(&facts->writeTime, sizeof(facts->writeTime));
    }
    void hex(char out[17]) const { std::snprintf(out, 17, "%016llx", static_cast<unsigned long long>(value)); }
};

void addFile(Digest* digest, const char* path) {
    platform::FileFacts facts;
    digest->add(path);
    digest->addFacts(platform::fileFacts(path, &facts) == platform::FactsResult::Found ? &facts : nullptr);
}

// A folder with entries: the runtime refuses to archive while one is on the
// class path (and Java 25 then ends the process with status 1).
bool hasEntries(const char* folder) {
    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry entry;
    bool found = false;
    for (auto state = platform::openDirectoryEnum(folder, &handle, &entry);
         state == platform::EnumResult::Entry && !found; state = platform::nextDirectoryEntry(handle, &entry))
        found = std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0;
    platform::closeDirectoryEnum(handle);
    return found;
}

// Adds every class-path entry with its facts; false (traced) when one is a
// folder with entries.
bool addClassPath(Digest* digest, const char* classPath) {
    const char separator = platform::classPathOptionSeparator();
    for (const char* entry = classPath;; ++entry) {
        const char* end = std::strchr(entry, separator);
        char* path = duplicateTextRange(entry, end != nullptr ? size_t(end - entry) : std::strlen(entry));
        platform::FileFacts facts;
        const bool found = platform::fileFacts(path[0] != '\0' ? path : ".", &facts) == platform::FactsResult::Found;
        if (found && facts.kind == platform::FileKind::Directory && hasEntries(path[0] != '\0' ? path : ".")) {
            trace("class data: the class path holds the folder \"%s\", which the runtime cannot archive; no cache",
                  path);
            std::free(path);
            return false;
        }
        digest->add(path);
        digest->addFacts(found ? &facts : nullptr);
        std::free(path);
        if (end == nullptr) return true;
        entry = end;
    }
}

char* joined(const char* a, const char* b, const char* c = "") {
    TextBuffer text{};
    appendText(&text, a);
    appendText(&text, b);
    appendText(&text, c);
    return text.text;
}

// The number between the last two dots of a name (".1234.tmp"), 0 for none.
uint32_t processOfName(const char* name) {
    const char* last = std::strrchr(name, '.');
    const char* digits = last;
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9') --digits;
    if (digits == last || digits == name || digits[-1] != '.' || last - digits > 9) return 0;
    return uint32_t(std::strtoul(digits, nullptr, 10));
}

bool endsWith(const char* text, const char* tail) {
    size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && std::strcmp(text + n - m, tail) == 0;
}

// Removes this application's archives of other digests, and the temporary
// files and logs of its starts that have ended. Returns true when one of
// those was a log of the archive kept: that start ended without tidying up,
// which a crash in the runtime does, and a damaged archive makes it crash
// at every start (the runtime checks no checksum unless told to, and that
// check costs more than the archive saves on a small application).
bool removeStaleFiles(const char* folder, const char* prefix, const char* keep) {
    const size_t stem = std::strlen(keep) - 4;  // without ".jsa"
    bool abandoned = false;
    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry entry;
    const uint32_t self = platform::currentProcessId();
    for (auto state = platform::openDirectoryEnum(folder, &handle, &entry); state == platform::EnumResult::Entry;
         state = platform::nextDirectoryEntry(handle, &entry)) {
        if (entry.isDirectory || !startsWith(entry.name, prefix) || std::strcmp(entry.name, keep) == 0) continue;
        const uint32_t owner = processOfName(entry.name);
        const bool stale = endsWith(entry.name, ".jsa") ||
                           ((endsWith(entry.name, ".tmp") || endsWith(entry.name, ".log")) && owner != 0 &&
                            owner != self && !platform::waitForProcessEnd(owner, 0));
        if (!stale) continue;
        abandoned = abandoned || (endsWith(entry.name, ".log") && std::strncmp(entry.name, keep, stem) == 0 &&
                                  entry.name[stem] == '.');
        char* path = joined(folder, entry.name);
        const bool removed = platform::deleteFile(path);
        trace("class data: %s \"%s\"", removed ? "removed" : "cannot remove", path);
        std::free(path);
    }
    platform::closeDirectoryEnum(handle);
    return abandoned;
}

// The names of this start's files, from the application's prefix and the
// digest; false (traced) when the cache folder cannot be had.
bool nameFiles(const char* digest) {
    char folder[kPathCapacity];
    if (platform::userCacheDirectory(folder, sizeof(folder)) == 0) {
        char reason[256];
        if (platform::systemErrorText(platform::lastError(), reason, sizeof(reason)) == 0) reason[0] = '\0';
        trace("class data: no usable cache folder (%s); no cache", reason);
        return false;
    }
    // The application: its name (cut, for people who look into the folder)
    // and a digest of the executable's path.
    char exe[kPathCapacity];
    Digest identity;
    identity.add(platform::executablePath(exe, sizeof(exe)) != 0 ? exe : Config.AppName);
    char id[17];
    identity.hex(id);
    TextBuffer prefix{};
    const size_t nameLength = std::strlen(Config.AppName);
    appendTextRange(&prefix, Config.AppName,
                    nameLength <= kAppNameInFileName ? nameLength
                                                     : wholeCharacterLength(Config.AppName, kAppNameInFileName));
    appendText(&prefix, "-");
    appendText(&prefix, id);
    appendText(&prefix, "-");
    char* name = joined(prefix.text, digest, ".jsa");
    const bool abandoned = removeStaleFiles(folder, prefix.text, name);
    freeTextBuffer(&prefix);

    char pid[16];
    std::snprintf(pid, sizeof(pid), ".%u", unsigned(platform::currentProcessId()));
    Cache.archive = joined(folder, name);
    name[std::strlen(name) - 4] = '\0';  // the stem, without ".jsa"
    char* stem = joined(folder, name, pid);
    Cache.temporary = joined(stem, ".tmp");
    Cache.log = joined(stem, ".log");
    std::free(stem);
    std::free(name);
    if (abandoned && platform::deleteFile(Cache.archive))
        trace("class data: a start with \"%s\" ended abnormally; removed it, this start writes a new one",
              Cache.archive);
    return true;
}

bool isFailureLine(const char* line) {
    return std::strstr(line, "[error") != nullptr || std::strstr(line, "UseSharedSpaces:") != nullptr ||
           std::strstr(line, "Unable to use shared archive") != nullptr;
}

// The whole lines of the log past what was read before: warnings and errors
// go to the trace (the first few), the rest is counted. True when a line
// says that the runtime could not use the archive.
bool readLog() {
    platform::FileKind kind;
    uint64_t size = 0;
    platform::InputFile* file = platform::openInputFile(Cache.log, &kind, &size);
    if (file == nullptr) return false;
    if (size > kLogLimit) size = kLogLimit;
    char* text = static_cast<char*>(std::malloc(size_t(size) + 1));
    if (text == nullptr) std::abort();
    size_t used = 0, got = 0;
    while (used < size && platform::readInputFile(file, text + used, size_t(size) - used, &got) && got > 0)
        used += got;
    platform::closeInputFile(file);
    text[used] = '\0';
    bool failed = false;
    int traced = 0, skipped = 0;
    char* line = text + (Cache.logRead < used ? Cache.logRead : used);
    for (char* end; (end = std::strchr(line, '\n')) != nullptr; line = end + 1) {
        *end = '\0';
        if (end > line && end[-1] == '\r') end[-1] = '\0';
        failed = failed || isFailureLine(line);
        if (std::strstr(line, "[warning") == nullptr && !isFailureLine(line)) continue;
        if (traced++ < kTracedLogLines)
            trace("class data: runtime: %s", line);
        else
            ++skipped;
    }
    if (skipped > 0) trace("class data: runtime: %d more lines", skipped);
    Cache.logRead = uint64_t(line - text);
    std::free(text);
    return failed;
}

}  // namespace

int32_t prepareClassDataCache(JavaVMOption* options, int32_t count) {
    if (!Config.ClassDataCache) return count;
    const char* version = Config.RuntimeVersion != nullptr ? Config.RuntimeVersion : "";
    if (Config.RuntimeMajor < kOldestRuntime) {
        trace("class data: runtime version \"%s\"; the cache needs Java %d or later", version, kOldestRuntime);
        return count;
    }
    Digest digest;
    digest.add("class data 1");
    char exe[kPathCapacity];
    if (platform::executablePath(exe, sizeof(exe)) != 0) addFile(&digest, exe);
    digest.add(Config.RuntimeHome != nullptr ? Config.RuntimeHome : "");
    digest.add(version);
    const char* classPath = ".";  // what a VM takes without the option
    for (int32_t i = 0; i < count; ++i) {
        const char* option = options[i].optionString;
        if (const char* sharing = startsWithAny(option, kSharingOptions)) {
            trace("class data: JvmOptions set %s themselves; no cache", sharing);
            return count;
        }
        if (startsWith(option, kClassPathOption)) classPath = option + sizeof(kClassPathOption) - 1;
        if (startsWithAny(option, kUndigestedOptions) == nullptr) digest.add(option);
    }
    if (!addClassPath(&digest, classPath)) return count;
    char hex[17];
    digest.hex(hex);
    if (!nameFiles(hex)) return count;

    platform::FileFacts facts;
    const bool present = platform::fileFacts(Cache.archive, &facts) == platform::FactsResult::Found &&
                         facts.kind == platform::FileKind::File && facts.size > 0;
    if (!present) {
        // Made here, so that a folder the runtime could not write to turns
        // the cache off instead of failing the end of the run.
        platform::deleteFile(Cache.temporary);
        if (!platform::writeNewFile(Cache.temporary, "", 0, nullptr)) {
            trace("class data: cannot write \"%s\"; no cache", Cache.temporary);
            return count;
        }
    }
    Cache.active = true;
    Cache.writing = !present;
    trace("class data: %s \"%s\"", present ? "using" : "writing when the VM ends", Cache.archive);
    options[count++].optionString = joined(present ? "-XX:SharedArchiveFile=" : "-XX:ArchiveClassesAtExit=",
                                           present ? Cache.archive : Cache.temporary);
    // The runtime's class-sharing messages about this cache go to a log of
    // this start instead of the application's output (quoted: a Windows path
    // holds a colon).
    options[count++].optionString = duplicateText("-Xlog:cds*=off");
    options[count++].optionString =
        joined("-Xlog:cds*=warning,cds=info,cds+dynamic=info:file=\"", Cache.log, "\"::filecount=0");
    return count;
}

bool classDataCacheWriting() { return Cache.active && Cache.writing; }

void checkClassDataCache() {
    if (!Cache.active) return;
    if (!readLog() || Cache.writing) return;
    // Another start of this version writes a new one.
    const bool removed = platform::deleteFile(Cache.archive);
    trace("class data: the runtime refused \"%s\"; %s", Cache.archive, removed ? "removed" : "cannot remove it");
}

void finishClassDataCache() {
    if (!Cache.active || Cache.finished.exchange(true)) return;
    readLog();
    platform::deleteFile(Cache.log);
    if (!Cache.writing) return;
    platform::FileFacts facts;
    const bool written = platform::fileFacts(Cache.temporary, &facts) == platform::FactsResult::Found &&
                         facts.size > 0;
    if (written && platform::replaceFile(Cache.temporary, Cache.archive)) {
        trace("class data: written \"%s\"", Cache.archive);
        return;
    }
    trace("class data: %s \"%s\"", written ? "cannot move into place" : "the runtime wrote no archive",
          Cache.temporary);
    platform::deleteFile(Cache.temporary);
}

// The class-data cache (ClassDataCache).
//
// Every supported runtime (Java 17 and later) gets the same mechanism, a
// static archive of the application's classes: a first start has its VM
// record the classes it loads (-XX:DumpLoadedClassList), which costs next
// to nothing, and once the VM has ended a detached writer builds the
// archive from that list (core/class_data_writer.h); later starts map it
// with -XX:SharedArchiveFile. Writing an archive when the VM ends
// (-XX:ArchiveClassesAtExit) made the first start half as long again for a
// large application and several times as long for a small one, and the
// static archive maps at least as fast. The archive is never written under
// its own name: a runtime maps whatever file that name holds, and Java 17
// dies of a SIGBUS on one cut short. (Java 25's AOT cache needs a recording
// start several times as long as a plain one, and its own `java`.)
//
// What makes an archive valid goes into its name: the launcher (path, size,
// time), the runtime (folder, version), every class-path entry (name, size,
// time) and the VM options. Left out are properties (-D) and memory sizes
// (-Xmx, -Xms, -Xmn, -Xss): placeholders such as %DATE% and %AVAILRAM50% may
// change them at every start, and the runtime takes an archive across them;
// should one not fit after all, the runtime refuses it, this start removes
// it and the next records anew. A start removes the archives of this
// application that carry another digest, and the files of its starts and
// writers that have ended without tidying up; while another live start
// records or a writer writes this archive, a start neither records nor
// waits.
#include "core/class_data_cache.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/archives.h"
#include "core/class_data_writer.h"
#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/trace.h"

namespace {

constexpr int kOldestRuntime = 17;         // the first with -XX:DumpLoadedClassList whose lists -Xshare:dump reads
constexpr size_t kAppNameInFileName = 32;  // bytes of AppName in the file names
constexpr uint64_t kLogLimit = 1024 * 1024;  // the part of the runtime's log that is read
constexpr int kTracedLogLines = 20;        // per reading; the rest is counted

const char kClassPathOption[] = "-Djava.class.path=";

// Options left out of the digest (see above).
const char* const kUndigestedOptions[] = {"-D", "-Xmx", "-Xms", "-Xmn", "-Xss"};
// The kinds of files a start or a writer keeps under its process id: the
// runtime's log, the class list and the job, and the archive being dumped.
const char* const kProcessFiles[] = {".log", ".lst", ".job", ".tmp"};

struct CacheState {
    bool active;
    bool recording;
    char* archive;  // the cache's own name
    char* list;     // the class list this start's VM records
    char* job;      // what the writer builds the archive with
    char* log;      // the runtime's class-sharing log of this start
    uint64_t logRead;  // bytes of the log already looked at
    std::atomic<bool> finished;
};
CacheState Cache;

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

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

// What the sweep of the cache folder found about the archive kept.
struct Sweep {
    bool abandoned;  // a start that used it ended without tidying up
    bool busy;       // another live start records it, or a writer writes it
};

// Removes this application's archives of other digests, and the files of
// its starts and writers that have ended. A log of the archive kept among
// them means that a start ended without tidying up, which a crash in the
// runtime does, and a damaged archive makes it crash at every start (the
// runtime checks no checksum unless told to, and that check costs more
// than the archive saves on a small application).
Sweep removeStaleFiles(const char* folder, const char* prefix, const char* keep) {
    const size_t stem = std::strlen(keep) - 4;  // without ".jsa"
    Sweep sweep{false, false};
    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry entry;
    const uint32_t self = platform::currentProcessId();
    for (auto state = platform::openDirectoryEnum(folder, &handle, &entry); state == platform::EnumResult::Entry;
         state = platform::nextDirectoryEntry(handle, &entry)) {
        if (entry.isDirectory || !startsWith(entry.name, prefix) || std::strcmp(entry.name, keep) == 0) continue;
        const uint32_t owner = classDataFileProcess(entry.name);
        const char* kind = std::strrchr(entry.name, '.');
        const bool processFile = owner != 0 && owner != self && startingPrefix(kind, kProcessFiles) != nullptr &&
                                 std::strlen(kind) == 4;
        const bool ours = std::strncmp(entry.name, keep, stem) == 0 && entry.name[stem] == '.';
        const bool live = processFile && platform::waitForProcessEnd(owner, 0);
        sweep.busy = sweep.busy || (live && ours && std::strcmp(kind, ".job") == 0);
        if (!endsWithText(entry.name, ".jsa") && (!processFile || live)) continue;
        sweep.abandoned = sweep.abandoned || (ours && std::strcmp(kind, ".log") == 0);
        char* path = joined(folder, entry.name);
        const bool removed = platform::deleteFile(path);
        trace("class data: %s \"%s\"", removed ? "removed" : "cannot remove", path);
        std::free(path);
    }
    platform::closeDirectoryEnum(handle);
    return sweep;
}

// The names of this start's files, from the application's prefix and the
// digest; false (traced) when the cache folder cannot be had.
bool nameFiles(const char* digest, Sweep* sweep) {
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
    *sweep = removeStaleFiles(folder, prefix.text, name);
    freeTextBuffer(&prefix);

    const uint32_t self = platform::currentProcessId();
    Cache.archive = joined(folder, name);
    name[std::strlen(name) - 4] = '\0';  // the stem, without ".jsa"
    Cache.list = classDataFile(folder, name, self, "lst");
    Cache.job = classDataFile(folder, name, self, "job");
    Cache.log = classDataFile(folder, name, self, "log");
    std::free(name);
    if (sweep->abandoned && platform::deleteFile(Cache.archive))
        trace("class data: a start with \"%s\" ended abnormally; removed it, this start records anew", Cache.archive);
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
    digest.add("class data 2");
    char exe[kPathCapacity];
    if (platform::executablePath(exe, sizeof(exe)) != 0) addFile(&digest, exe);
    digest.add(Config.RuntimeHome != nullptr ? Config.RuntimeHome : "");
    digest.add(version);
    const char* classPath = ".";  // what a VM takes without the option
    for (int32_t i = 0; i < count; ++i) {
        const char* option = options[i].optionString;
        if (const char* sharing = classSharingOption(option)) {
            trace("class data: JvmOptions set %s themselves; no cache", sharing);
            return count;
        }
        if (startsWith(option, kClassPathOption)) classPath = option + sizeof(kClassPathOption) - 1;
        if (startingPrefix(option, kUndigestedOptions) == nullptr) digest.add(option);
    }
    if (!addClassPath(&digest, classPath)) return count;
    char hex[17];
    digest.hex(hex);
    Sweep sweep;
    if (!nameFiles(hex, &sweep)) return count;

    platform::FileFacts facts;
    const bool present = platform::fileFacts(Cache.archive, &facts) == platform::FactsResult::Found &&
                         facts.kind == platform::FileKind::File && facts.size > 0;
    if (!present && sweep.busy) {
        trace("class data: another start records or writes \"%s\"; this one runs without", Cache.archive);
        return count;
    }
    if (!present) {
        // The job is written here, so that a folder that cannot be written
        // to turns the cache off for this start.
        char directory[kPathCapacity];
        if (platform::currentDirectory(directory, sizeof(directory)) == 0 || Config.RuntimeLibrary == nullptr ||
            !writeClassDataJob(Cache.job, directory, Config.RuntimeLibrary, Config.RuntimeMajor, options, count)) {
            trace("class data: cannot write \"%s\"; no cache", Cache.job);
            return count;
        }
    }
    Cache.active = true;
    Cache.recording = !present;
    if (!present) {
        trace("class data: no \"%s\" yet; recording the classes this start loads", Cache.archive);
        options[count++].optionString = joined("-XX:DumpLoadedClassList=", Cache.list);
        return count;
    }
    trace("class data: using \"%s\"", Cache.archive);
    options[count++].optionString = joined("-XX:SharedArchiveFile=", Cache.archive);
    // The runtime's class-sharing messages about this cache go to a log of
    // this start instead of the application's output (quoted: a Windows path
    // holds a colon). Java 17 says why it refuses an archive at level info.
    options[count++].optionString = duplicateText("-Xlog:cds*=off");
    options[count++].optionString =
        joined("-Xlog:cds*=warning,cds=info:file=\"", Cache.log, "\"::filecount=0");
    return count;
}

bool classDataCacheRecording() { return Cache.active && Cache.recording; }

void checkClassDataCache() {
    if (!Cache.active || Cache.recording || !readLog()) return;
    // The next start records anew.
    const bool removed = platform::deleteFile(Cache.archive);
    trace("class data: the runtime refused \"%s\"; %s", Cache.archive, removed ? "removed" : "cannot remove it");
}

void finishClassDataCache(bool vmEnded) {
    if (!Cache.active || Cache.finished.exchange(true)) return;
    if (!Cache.recording) {
        readLog();
        platform::deleteFile(Cache.log);
        return;
    }
    // The list is whole once this process has ended; the writer waits for that.
    platform::FileFacts facts;
    const bool recorded = vmEnded && platform::fileFacts(Cache.list, &facts) == platform::FactsResult::Found &&
                          facts.kind == platform::FileKind::File && facts.size > 0;
    if (!recorded) trace("class data: %s; no archive", vmEnded ? "the runtime recorded no classes" : "main failed");
    const bool cleanup = vmEnded && claimCleanup();
    const char* jobName = Cache.job + std::strlen(Cache.job);
    while (jobName > Cache.job && !platform::isPathSeparator(jobName[-1])) --jobName;
    if (recorded && startClassDataWriter(jobName, cleanup)) return;
    platform::deleteFile(Cache.list);
    platform::deleteFile(Cache.job);
    if (cleanup) startCleanupChild();
}

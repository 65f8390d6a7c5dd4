// The class-data cache's writer and its job (see core/class_data_writer.h).
//
// The writer takes the job and the class list over at once, renaming them
// to its own process id: a start that sweeps the cache folder removes the
// files of processes that have ended, and the launcher that recorded them
// is about to. (Windows refuses to rename the list while the runtime of a
// launcher that ends with System.exit still holds it open; the writer tries
// again once that launcher has ended.) The dump runs in a process of its
// own because a runtime ends the process once it has dumped, or failed to.
// Only a dump that ended with status 0 and left a file gives the archive,
// and only under a name no other writer has taken meanwhile: the archive
// in place may be mapped by a running application.
#include "core/class_data_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/archives.h"
#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/trace.h"

namespace {

// The writer's bounds: for the launcher to end (as the cleanup child's),
// and for the dump, which takes a second or two for a few thousand classes.
constexpr uint32_t kLauncherWaitMs = 30000;
constexpr uint32_t kDumpWaitMs = 120000;
// The archive is work for later: below normal priority, behind what the
// user runs now.
constexpr int kWriterPriority = 4;

// The job: these zero-terminated texts one after another, then the options.
constexpr char kJobHeader[] = "vantrel class data job 1";
constexpr uint64_t kJobLimit = 1024 * 1024;
constexpr int32_t kJobOptionLimit = 4096;
constexpr size_t kNameLimit = 255;  // a file name
// The first runtime whose dump keeps classes linked (-XX:+AOTClassLinking).
constexpr int32_t kLinkingRuntime = 24;

// Options that would act outside the dump (agents, debuggers, logs and
// recordings the application writes, commands on errors) or choose class
// sharing themselves. Properties stay out too, except the class path.
const char* const kNotForTheDump[] = {
    "-agentlib:", "-agentpath:", "-javaagent:", "-Xrun", "-Xdebug", "-Xnoagent", "-Xlog", "-Xloggc",
    "-verbose", "-XX:StartFlightRecording", "-XX:+FlightRecorder", "-XX:FlightRecorderOptions", "-XX:OnError",
    "-XX:OnOutOfMemoryError", "-XX:+HeapDumpOn", "-XX:HeapDumpPath", "-XX:ErrorFile", "-D"};
const char kClassPathOption[] = "-Djava.class.path=";

// Options of that list that add a module to the module graph, and their
// module: the dump adds it too, else the runtime would not take the
// archive's module graph (nor, on Java 24 and later, its linked classes).
struct ModuleEffect {
    const char* prefix;
    const char* module;
};
const ModuleEffect kModuleEffects[] = {{"-javaagent:", "--add-modules=java.instrument"},
                                       {"-Dcom.sun.management", "--add-modules=jdk.management.agent"},
                                       {"-XX:StartFlightRecording", "--add-modules=jdk.jfr"},
                                       {"-XX:FlightRecorderOptions", "--add-modules=jdk.jfr"}};
// Native agents: the runtime takes no linked classes with them (a debugger
// at least), so the dump links none.
const char* const kNativeAgents[] = {"-agentlib:", "-agentpath:", "-Xrun"};

bool dumpTakesOption(const char* option) {
    if (option[0] == '\0' || classSharingOption(option) != nullptr) return false;
    return std::strncmp(option, kClassPathOption, sizeof(kClassPathOption) - 1) == 0 ||
           startingPrefix(option, kNotForTheDump) == nullptr;
}

char* joined(const char* a, const char* b) {
    TextBuffer text{};
    appendText(&text, a);
    appendText(&text, b);
    return text.text;
}

// "<stem>.<pid>.job": its stem and process id. False for any other name: a
// path, a name without a stem or a number.
bool splitJobName(const char* name, char** stem, uint32_t* pid) {
    const size_t length = std::strlen(name);
    if (length > kNameLimit || name[0] == '.' || !endsWithText(name, ".job")) return false;
    for (const char* p = name; *p != '\0'; ++p)
        if (platform::isPathSeparator(*p) || static_cast<unsigned char>(*p) < 0x20) return false;
    const char* last = name + length - 4;  // its ".job"
    const char* digits = last;
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9') --digits;
    if (digits == last || last - digits > 9 || digits - name < 2 || digits[-1] != '.') return false;
    *pid = uint32_t(std::strtoul(digits, nullptr, 10));
    if (*pid == 0) return false;
    *stem = duplicateTextRange(name, size_t(digits - 1 - name));
    return true;
}

// Builds the archive from the list that the job beside it names; the
// writer's own files, under this process's id.
void buildArchive(const char* folder, const char* stem, uint32_t self) {
    char* temporary = classDataFile(folder, stem, self, "tmp");
    TextBuffer archive{};
    appendText(&archive, folder);
    appendText(&archive, stem);
    appendText(&archive, ".jsa");
    char jobName[kNameLimit + 16];
    std::snprintf(jobName, sizeof(jobName), "%s.%u.job", stem, unsigned(self));
    char executable[kPathCapacity];
    platform::deleteFile(temporary);
    const char* const argv[] = {executable, kClassDataDumpSwitch, jobName, nullptr};
    const uint64_t started = platform::monotonicMilliseconds();
    platform::ChildOutcome outcome{};
    if (platform::executablePath(executable, sizeof(executable)) != 0)
        outcome = platform::runChildProcess(argv, kDumpWaitMs);
    const unsigned long long took = platform::monotonicMilliseconds() - started;
    platform::FileFacts facts;
    const bool written = outcome.started && !outcome.killed && outcome.status == 0 &&
                         platform::fileFacts(temporary, &facts) == platform::FactsResult::Found &&
                         facts.kind == platform::FileKind::File && facts.size > 0;
    if (!outcome.started) {
        char reason[256];
        if (platform::systemErrorText(platform::lastError(), reason, sizeof(reason)) == 0) reason[0] = '\0';
        trace("class data: cannot start the dump (%s); no archive", reason);
    } else if (!written) {
        trace("class data: the dump %s after %llu ms (status %u); no archive",
              outcome.killed ? "was ended" : outcome.status != 0 ? "failed" : "wrote nothing", took,
              unsigned(outcome.status));
    } else if (platform::fileFacts(archive.text, &facts) != platform::FactsResult::Missing) {
        trace("class data: another writer put \"%s\" in place first; this dump goes", archive.text);
    } else if (platform::replaceFile(temporary, archive.text)) {
        trace("class data: wrote \"%s\" (dump %llu ms)", archive.text, took);
    } else {
        trace("class data: cannot move \"%s\" into place", temporary);
    }
    platform::deleteFile(temporary);
    std::free(temporary);
    freeTextBuffer(&archive);
}

}  // namespace

const char* classSharingOption(const char* option) {
    static const char* const kSharingOptions[] = {
        "-Xshare", "-XX:SharedArchiveFile", "-XX:ArchiveClassesAtExit", "-XX:+AutoCreateSharedArchive",
        "-XX:-UseSharedSpaces", "-XX:SharedClassListFile", "-XX:DumpLoadedClassList", "-XX:AOT", "-XX:+AOT"};
    return startingPrefix(option, kSharingOptions);
}

uint32_t classDataFileProcess(const char* name) {
    const char* last = std::strrchr(name, '.');
    const char* digits = last;
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9') --digits;
    if (digits == last || digits == name || digits[-1] != '.' || last - digits > 9) return 0;
    return uint32_t(std::strtoul(digits, nullptr, 10));
}

char* classDataFile(const char* folder, const char* stem, uint32_t pid, const char* kind) {
    char tail[32];
    std::snprintf(tail, sizeof(tail), ".%u.%s", unsigned(pid), kind);
    TextBuffer path{};
    appendText(&path, folder);
    appendText(&path, stem);
    appendText(&path, tail);
    return path.text;
}

bool writeClassDataJob(const char* path, const char* directory, const char* library, int32_t major,
                       const JavaVMOption* options, int32_t count) {
    bool link = major >= kLinkingRuntime;
    for (int32_t i = 0; i < count && link; ++i) link = startingPrefix(options[i].optionString, kNativeAgents) == nullptr;
    TextBuffer job{};
    for (const char* text : {kJobHeader, directory, library, link ? "1" : "0"})
        appendTextRange(&job, text, std::strlen(text) + 1);
    int32_t taken = 0;
    for (int32_t i = 0; i < count && taken < kJobOptionLimit; ++i) {
        const char* option = options[i].optionString;
        for (const ModuleEffect& effect : kModuleEffects)
            if (std::strncmp(option, effect.prefix, std::strlen(effect.prefix)) == 0) option = effect.module;
        if (!dumpTakesOption(option)) continue;
        appendTextRange(&job, option, std::strlen(option) + 1);
        ++taken;
    }
    const bool written = job.length <= kJobLimit && platform::writeNewFile(path, job.text, job.length, nullptr);
    freeTextBuffer(&job);
    return written;
}

bool startClassDataWriter(const char* jobName, bool cleanup) {
    char executable[kPathCapacity];
    char processId[16];
    std::snprintf(processId, sizeof(processId), "%u", unsigned(platform::currentProcessId()));
    const char* const argv[] = {executable, kClassDataWriterSwitch, processId, jobName, cleanup ? "1" : "0", nullptr};
    const bool started = platform::executablePath(executable, sizeof(executable)) != 0 && platform::spawnDetached(argv);
    trace("class data: writer %s%s", started ? "started" : "not started",
          cleanup ? ", which removes the unpacked archives after it" : "");
    return started;
}

void runClassDataWriter(const char* processIdText, const char* jobName, const char* cleanup) {
    const int priority = platform::currentPriorityIndex();
    if (priority >= 0 && priority < kWriterPriority) platform::setPriorityIndex(kWriterPriority);
    const uint32_t launcher = uint32_t(std::strtoul(processIdText, nullptr, 10));
    const uint32_t self = platform::currentProcessId();
    char folder[kPathCapacity];
    char* stem = nullptr;
    uint32_t owner = 0;
    const bool named = splitJobName(jobName, &stem, &owner) && owner == launcher &&
                       platform::userCacheDirectory(folder, sizeof(folder)) != 0;
    char* files[4] = {};  // the launcher's job and list, then this writer's
    bool job = false, list = false;
    if (named) {
        files[0] = classDataFile(folder, stem, launcher, "job");
        files[1] = classDataFile(folder, stem, launcher, "lst");
        files[2] = classDataFile(folder, stem, self, "job");
        files[3] = classDataFile(folder, stem, self, "lst");
        job = platform::replaceFile(files[0], files[2]);
        list = platform::replaceFile(files[1], files[3]);
    }
    const bool ended = platform::waitForProcessEnd(launcher, kLauncherWaitMs);
    trace("class data: process %s %s", processIdText, ended ? "ended" : "not running, or still running after 30 s");
    if (!named || !job) {
        trace("class data: no job \"%s\" of process %s; no archive", jobName, processIdText);
    } else {
        list = list || platform::replaceFile(files[1], files[3]);
        if (list)
            buildArchive(folder, stem, self);
        else
            trace("class data: no class list \"%s\"; no archive", files[1]);
    }
    for (char* file : files) {
        if (file != nullptr) platform::deleteFile(file);
        std::free(file);
    }
    std::free(stem);
    if (std::strcmp(cleanup, "1") == 0) removeExtractedFiles();
}

bool readClassDataJob(const char* jobName, ClassDataJob* job) {
    char folder[kPathCapacity];
    char* stem = nullptr;
    uint32_t pid = 0;
    if (!splitJobName(jobName, &stem, &pid) || platform::userCacheDirectory(folder, sizeof(folder)) == 0) {
        trace("class data: \"%s\" names no job", jobName);
        return false;
    }
    char* path = joined(folder, jobName);
    platform::FileKind kind;
    uint64_t size = 0;
    platform::InputFile* file = platform::openInputFile(path, &kind, &size);
    char* text = nullptr;
    size_t used = 0;
    if (file != nullptr && size > 0 && size <= kJobLimit) {
        text = static_cast<char*>(std::malloc(size_t(size)));
        if (text == nullptr) std::abort();
        size_t got = 0;
        while (used < size && platform::readInputFile(file, text + used, size_t(size) - used, &got) && got > 0)
            used += got;
    }
    if (file != nullptr) platform::closeInputFile(file);
    // Parse, then use: every text whole, the header this version's, the two
    // paths absolute, and only options a launcher hands to the dump.
    const char* fields[4] = {};
    int32_t count = 0;
    bool valid = text != nullptr && used == size && text[used - 1] == '\0';
    const char* end = text + used;
    const char* p = text;
    for (int i = 0; valid && i < 4; ++i, p += std::strlen(p) + 1) {
        valid = p < end;
        if (valid) fields[i] = p;
    }
    valid = valid && std::strcmp(fields[0], kJobHeader) == 0 && platform::isAbsolutePath(fields[1]) &&
            platform::isAbsolutePath(fields[2]) &&
            (std::strcmp(fields[3], "0") == 0 || std::strcmp(fields[3], "1") == 0);
    const char* first = p;
    for (; valid && p < end; p += std::strlen(p) + 1) valid = ++count <= kJobOptionLimit && dumpTakesOption(p);
    if (!valid) {
        trace("class data: \"%s\" is no job a launcher wrote", path);
        std::free(text);
        std::free(path);
        std::free(stem);
        return false;
    }
    job->directory = fields[1];
    job->library = fields[2];
    job->link = std::strcmp(fields[3], "1") == 0;
    job->options = static_cast<const char**>(std::calloc(size_t(count) + 1, sizeof(char*)));
    if (job->options == nullptr) std::abort();
    job->count = count;
    for (int32_t i = 0; i < count; first += std::strlen(first) + 1) job->options[i++] = first;
    job->list = classDataFile(folder, stem, pid, "lst");
    job->temporary = classDataFile(folder, stem, pid, "tmp");
    std::free(path);
    std::free(stem);
    return true;
}

// Embedded archives: where they are unpacked, unpacking them at start-up
// (skipping those already there unchanged), putting them on the class path,
// and removing them again from a detached cleanup child.
//
// The payload is checked whole before anything is written or deleted
// (core/payload.h). Each archive is written under a temporary name of its
// own and moved into place, so that no process ever opens a half-written
// archive and a running VM that has the old one open keeps reading the old
// one. A launcher runs exactly its own archives: where the application's
// folder holds another payload's archive that cannot be replaced (in use,
// or the folder cannot be written), it unpacks into a folder of this
// payload's own instead; what is at an archive's name and is no regular file
// of the user's own stops the launch rather than going on the class path.
#include "core/archives.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/payload.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

constexpr size_t kEntryPathCapacity = 4096;
// The cleanup child gives its launcher this long to end; a launcher that is
// still running then keeps its archives (it holds them open, or its folder).
constexpr uint32_t kCleanupWaitMs = 30000;
// Temporary files are ".vantrel-<writer's process id>-<random>.tmp". A
// clash with a name already there (someone else's file, or a guess) tries
// another name, this many times.
constexpr const char kTemporaryPrefix[] = ".vantrel-";
constexpr const char kTemporarySuffix[] = ".tmp";
constexpr int kTemporaryNameTries = 16;
// Pieces in which an archive is compared with the file that holds its name.
constexpr size_t kComparePiece = 64 * 1024;

bool isEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

bool payloadPresent() {
    uint64_t size = 0;
    return platform::findPayload(&size) && size >= 2;
}

bool readFromExecutable(void*, uint64_t offset, void* buffer, size_t size) {
    return platform::readPayload(offset, buffer, size);
}

// The payload, checked. Absent when there is none.
PayloadRecord readPayload() {
    uint64_t size = 0;
    if (!platform::findPayload(&size)) size = 0;
    return parsePayloadWith(readFromExecutable, nullptr, size);
}

// The extraction folder (or the temporary folder) joined with a name.
bool joinPath(char* path, size_t capacity, const char* directory, const char* name) {
    int n = std::snprintf(path, capacity, "%s%c%s", directory, platform::pathSeparator(), name);
    if (n < 0 || size_t(n) >= capacity) {
        platform::setFailureReason(platform::Failure::NameTooLong);
        return false;
    }
    return true;
}

void traceArchive(const char* path, const char* what) { trace("archive \"%s\": %s", path, what); }

void reportWriteFailure(const char* path) { reportErrorWithReason("%s", formatMessage(MsgFileWrite, path).text); }

// Folders named after the application (ExtractLocation 1 and 2) are created
// and must be the user's own; the executable's own folder is neither.
bool isApplicationFolder() { return Config.ExtractLocation != 0; }

// The folder of this payload's own, for when the application's folder holds
// another payload's archives that cannot be replaced: in the per-user
// folder, named after the application and a digest (64-bit FNV-1a) of the
// archives' names, times and sizes, so that only launchers that carry the
// same archives share it.
bool payloadFolder(const PayloadRecord& payload, char* folder, size_t capacity) {
    uint64_t digest = 0xCBF29CE484222325ULL;
    auto mix = [&](const void* data, size_t size) {
        for (size_t i = 0; i < size; ++i) digest = (digest ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001B3ULL;
    };
    for (int32_t i = 0; i < payload.count; ++i) {
        const PayloadEntry& entry = payload.entries[i];
        mix(entry.name, std::strlen(entry.name) + 1);
        uint8_t fields[12];
        for (int k = 0; k < 8; ++k) fields[k] = uint8_t(entry.fileTime >> (8 * k));
        for (int k = 0; k < 4; ++k) fields[8 + k] = uint8_t(entry.size >> (8 * k));
        mix(fields, sizeof(fields));
    }
    const char* encoded = Config.EncodedMainClass != nullptr ? Config.EncodedMainClass : "";
    if (!isPlainFileName(encoded)) {
        platform::setFailureReason(platform::Failure::NotPlainName);
        return false;
    }
    char base[kPathCapacity];
    if (platform::temporaryDirectory(base, sizeof(base)) == 0) return false;
    int n = std::snprintf(folder, capacity, "%s%s-%016llX", base, encoded, static_cast<unsigned long long>(digest));
    if (n < 0 || size_t(n) >= capacity) {
        platform::setFailureReason(platform::Failure::NameTooLong);
        return false;
    }
    return true;
}

// True when the file at path holds exactly the archive's bytes.
bool sameContent(const char* path, const PayloadEntry& entry) {
    platform::FileKind kind;
    uint64_t size = 0;
    platform::InputFile* file = platform::openInputFile(path, &kind, &size);
    if (file == nullptr) return false;
    bool same = size == entry.size;
    static char mine[kComparePiece], theirs[kComparePiece];
    for (uint64_t done = 0; same && done < entry.size;) {
        size_t piece = entry.size - done < kComparePiece ? size_t(entry.size - done) : kComparePiece;
        size_t got = 0;
        same = platform::readInputFile(file, theirs, piece, &got) && got > 0 &&
               platform::readPayload(entry.offset + done, mine, got) && std::memcmp(mine, theirs, got) == 0;
        done += got;
    }
    platform::closeInputFile(file);
    return same;
}

// Whether what is at an archive's name is the archive: a regular file of
// this user (or root) with its size, and its time or, where the time differs
// (a time the file system cannot keep, a copy that did not keep it), its
// bytes. Says which for the trace; nullptr when it is not the archive.
const char* heldArchive(const char* path, const platform::FileFacts& facts, const PayloadEntry& entry) {
    if (facts.kind != platform::FileKind::File || facts.foreignOwner || facts.size != entry.size) return nullptr;
    if (facts.writeTime == entry.fileTime) return "kept, unchanged";
    return sameContent(path, entry) ? "kept, same content" : nullptr;
}

// A temporary file of this process, created exclusively under a name no one
// can guess; path receives its name.
bool createTemporary(const char* directory, char* path, size_t capacity, platform::OutputFile* file) {
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s%u-%016llX%s", kTemporaryPrefix, unsigned(platform::currentProcessId()),
                      static_cast<unsigned long long>(platform::randomNumber()), kTemporarySuffix);
        if (!joinPath(path, capacity, directory, name)) return false;
        if (platform::createOutputFile(path, file)) return true;
        platform::FileFacts facts;
        if (platform::fileFacts(path, &facts) != platform::FactsResult::Found) return false;  // no clash: a failure
    }
    return false;
}

// Writes an archive under a temporary name, stamps it with the archive's
// time and moves it to path. The last error tells why it failed; nothing
// is left behind.
bool writeArchive(const char* directory, const char* path, const PayloadEntry& entry) {
    char temporary[kEntryPathCapacity];
    platform::OutputFile file;
    if (!createTemporary(directory, temporary, sizeof(temporary), &file)) return false;
    bool ok = platform::copyPayloadToFile(file, entry.offset, entry.size) &&
              platform::setOutputFileTime(file, entry.fileTime);
    uint32_t error = platform::lastError();
    if (!platform::closeOutputFile(file) && ok) {
        ok = false;
        error = platform::lastError();
    }
    if (ok && !platform::replaceFile(temporary, path)) {
        ok = false;
        error = platform::lastError();
    }
    if (!ok) platform::deleteFile(temporary);
    platform::setLastError(error);
    return ok;
}

// Temporary files whose writer has gone (a launcher killed while it
// unpacked) are removed; a live writer's stay. Only where no other launcher
// writes: in a folder held alone, or claimed.
void removeAbandonedTemporaries(const char* directory) {
    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry item;
    const size_t prefix = sizeof(kTemporaryPrefix) - 1, suffix = sizeof(kTemporarySuffix) - 1;
    for (platform::EnumResult result = platform::openDirectoryEnum(directory, &handle, &item);
         result == platform::EnumResult::Entry; result = platform::nextDirectoryEntry(handle, &item)) {
        const size_t length = std::strlen(item.name);
        if (item.isDirectory || length <= prefix + suffix || std::strncmp(item.name, kTemporaryPrefix, prefix) != 0 ||
            std::strcmp(item.name + length - suffix, kTemporarySuffix) != 0)
            continue;
        char* end = nullptr;
        const unsigned long writer = std::strtoul(item.name + prefix, &end, 10);
        // A writer that can still be opened is alive (or its id was taken
        // again): its file stays for a later start.
        if (end == item.name + prefix || *end != '-' || writer > 0xFFFFFFFFul ||
            platform::waitForProcessEnd(uint32_t(writer), 0))
            continue;
        char path[kEntryPathCapacity];
        if (joinPath(path, sizeof(path), directory, item.name) && platform::deleteFile(path))
            traceArchive(path, "removed, its writer has gone");
    }
    platform::closeDirectoryEnum(handle);
}

enum class Placed {
    Done,     // every archive is there
    NotHere,  // one cannot be put in place in this folder: another folder may serve
    Stopped,  // reported: unpacking stops
};

// One archive at its path in a folder: kept when it is there unchanged,
// written when it may be (mayWrite: the folder is held alone, or it is the
// payload's own), NotHere when it differs and cannot be replaced. Anything
// at the name that is not a regular file of the user's own that the launcher
// could replace or check stops unpacking (reported); so does every failure
// in the payload's own folder (lastFolder).
Placed placeEntry(const char* directory, const char* path, const PayloadEntry& entry, bool mayWrite, bool lastFolder) {
    platform::FileFacts facts{};
    bool present = false;
    switch (platform::fileFacts(path, &facts)) {
        case platform::FactsResult::Found: {
            present = true;
            if (facts.kind != platform::FileKind::File) {
                traceArchive(path, "not a regular file");
                platform::setFailureReason(platform::Failure::UntrustedFile);
                reportWriteFailure(path);
                return Placed::Stopped;
            }
            if (const char* kept = heldArchive(path, facts, entry)) {
                traceArchive(path, kept);
                return Placed::Done;
            }
            break;
        }
        case platform::FactsResult::Failed:
            reportErrorWithReason("Internal error RC000006");
            break;
        case platform::FactsResult::Missing:
            break;
    }
    // A running copy of an application holds it open (Windows), or another
    // launcher uses the folder (POSIX): it is not replaced under them.
    const bool inUse = !mayWrite || (present && platform::fileInUse(path));
    if (!inUse && writeArchive(directory, path, entry)) {
        traceArchive(path, "written");
        return Placed::Done;
    }
    if (inUse) platform::setFailureReason(platform::Failure::UntrustedFile);
    const uint32_t error = platform::lastError();
    // Another user's file that stays is never trusted; nor is a failure in
    // the last folder there is.
    const bool foreign = present && facts.foreignOwner;
    if (foreign || lastFolder) {
        traceArchive(path, foreign ? "another user's file, not replaced" : "cannot be written");
        if (foreign)
            platform::setFailureReason(platform::Failure::UntrustedFile);
        else
            platform::setLastError(error);
        reportWriteFailure(path);
        return Placed::Stopped;
    }
    traceArchive(path, inUse ? "differs, in use" : "cannot be written here");
    return Placed::NotHere;
}

// Every archive into one folder, their paths (each followed by ';') into
// list.
Placed unpackInto(const char* directory, const PayloadRecord& payload, bool mayWrite, bool lastFolder,
                  TextBuffer* list) {
    for (int32_t i = 0; i < payload.count; ++i) {
        const PayloadEntry& entry = payload.entries[i];
        char path[kEntryPathCapacity];
        if (!joinPath(path, sizeof(path), directory, entry.name)) {
            reportWriteFailure(entry.name);
            return Placed::Stopped;
        }
        appendText(list, path);
        appendText(list, ";");
        const Placed placed = placeEntry(directory, path, entry, mayWrite, lastFolder);
        if (placed != Placed::Done) return placed;
    }
    return Placed::Done;
}

// Holds a folder and unpacks into it. The application's folder (lastFolder
// clear) is left for the payload's own when it cannot be held or trusted,
// or when an archive there differs and cannot be replaced.
Placed useFolder(const char* directory, bool create, bool mustBeOwn, const PayloadRecord& payload, bool lastFolder,
                 TextBuffer* list) {
    platform::FolderHold* hold = nullptr;
    bool alone = false;
    const platform::FolderResult held = platform::holdExtractionFolder(directory, create, mustBeOwn, &hold, &alone);
    if (held != platform::FolderResult::Ready) {
        if (lastFolder) {
            reportWriteFailure(directory);
            return Placed::Stopped;
        }
        trace("archives: folder \"%s\" %s", directory,
              held == platform::FolderResult::Untrusted ? "refused: a link, another user's, or writable by others"
              : held == platform::FolderResult::Busy    ? "busy"
                                                        : "cannot be used");
        return Placed::NotHere;
    }
    trace("archives: folder \"%s\" held %s", directory, alone ? "alone" : "with other launchers");
    if (alone) removeAbandonedTemporaries(directory);
    // Launchers that share the payload's own folder carry the same archives:
    // they may write there side by side.
    const Placed placed = unpackInto(directory, payload, alone || lastFolder, lastFolder, list);
    if (alone) platform::shareExtractionFolder(hold);
    if (placed == Placed::NotHere) platform::releaseExtractionFolder(hold);
    return placed;
}

// ClassPath, then ';' unless it is empty or ends with one, then the list of
// unpacked paths (each followed by ';'), without a final ';'.
void extendClassPath(const char* list) {
    TextBuffer text{};
    const char* old = Config.ClassPath != nullptr ? Config.ClassPath : "";
    appendText(&text, old);
    size_t oldLength = std::strlen(old);
    if (oldLength > 0 && old[oldLength - 1] != ';') appendText(&text, ";");
    appendText(&text, list);
    if (text.length > 0 && text.text[text.length - 1] == ';') text.text[--text.length] = '\0';
    replaceText(&Config.ClassPath, duplicateText(text.text != nullptr ? text.text : ""));
    freeTextBuffer(&text);
}

void fillExtractionDirectory() {
    char* directory = static_cast<char*>(std::calloc(kPathCapacity, 1));
    if (directory == nullptr) std::abort();
    Config.ExtractionDirectory = directory;
    if (Config.ExtractLocation == 0) {
        std::strcpy(directory, ".");
        return;
    }
    // The folder is named after the application. A name that would not stay
    // inside its parent leaves the directory empty: nothing is unpacked or
    // removed (the launch itself then fails to find its main class).
    const char* encoded = Config.EncodedMainClass != nullptr ? Config.EncodedMainClass : "";
    if (!isPlainFileName(encoded)) return;
    char base[kPathCapacity];
    const char* what = "TEMP_PATH";
    bool found;
    if (Config.ExtractLocation == 1) {
        what = encoded;
        found = joinPath(base, sizeof(base), ".", "");
    } else {
        char passedOver[1024];
        found = platform::temporaryDirectory(base, sizeof(base), passedOver, sizeof(passedOver)) != 0;
        if (passedOver[0] != '\0') trace("archives: per-user folders passed over: %s", passedOver);
    }
    // A directory that would not fit is refused rather than cut.
    if (found && std::strlen(base) + std::strlen(encoded) >= kPathCapacity) {
        platform::setFailureReason(platform::Failure::NameTooLong);
        found = false;
    }
    if (!found) {
        // The directory stays empty: unpacking and cleanup skip this run. Only
        // a launcher that carries archives has anything to say about it.
        if (payloadPresent()) reportErrorWithReason("%s", formatMessage(MsgFileAccess, what).text);
        return;
    }
    std::strcpy(directory, base);
    std::strcat(directory, encoded);
}

// A cleanup child's work in one folder: only what holds its launcher's
// archives goes (another payload's files stay), and only once no live
// launcher uses the folder.
void cleanFolder(const char* directory, bool mustBeOwn, const PayloadRecord& payload) {
    const platform::FolderResult claim = platform::claimExtractionFolder(directory, mustBeOwn);
    if (claim != platform::FolderResult::Ready) {
        trace("cleanup: \"%s\" %s", directory,
              claim == platform::FolderResult::Busy        ? "busy"
              : claim == platform::FolderResult::Untrusted ? "refused"
                                                           : "absent");
        return;
    }
    removeAbandonedTemporaries(directory);
    for (int32_t i = 0; i < payload.count; ++i) {
        char path[kEntryPathCapacity];
        if (!joinPath(path, sizeof(path), directory, payload.entries[i].name)) continue;
        platform::FileFacts facts;
        const bool ours = platform::fileFacts(path, &facts) == platform::FactsResult::Found &&
                          heldArchive(path, facts, payload.entries[i]) != nullptr;
        const bool deleted = ours && platform::deleteFile(path);
        trace("cleanup: \"%s\" %s", path, deleted ? "deleted" : ours ? "kept" : "kept, not this payload's");
    }
    const bool removed = platform::removeDirectory(directory);  // fails for "." and a folder that holds files
    trace("cleanup: \"%s\" %s", directory, removed ? "deleted" : "kept");
}

}  // namespace

void computeExtractionDirectory() {
    fillExtractionDirectory();
    // Empty: nothing is unpacked or removed in this run.
    trace("archives: folder \"%s\"", Config.ExtractionDirectory);
}

void extractArchives() {
    const char* directory = Config.ExtractionDirectory;
    PayloadRecord payload = readPayload();
    if (payload.status == PayloadStatus::Absent || isEmpty(directory)) {
        trace("archives: %s", payload.status == PayloadStatus::Absent ? "none" : "not unpacked");
        return;
    }
    trace("archives: %d, %s", int(payload.count), payload.status == PayloadStatus::Valid ? "checked" : "damaged");
    if (payload.status == PayloadStatus::BadName) {
        // A name from a damaged payload may hold anything: shown escaped.
        char* shown = escapeControlCharacters(payload.badName);
        platform::setFailureReason(platform::Failure::NotPlainName);
        reportWriteFailure(shown);
        std::free(shown);
        return;
    }
    if (payload.status == PayloadStatus::Damaged) {
        platform::setFailureReason(platform::Failure::DamagedData);
        reportWriteFailure(directory);
        return;
    }
    if (payload.count == 0) return;
    Config.ExtractedFileCount = payload.count;

    TextBuffer list{};
    Placed placed = useFolder(directory, isApplicationFolder(), isApplicationFolder(), payload, false, &list);
    if (placed == Placed::NotHere) {
        // Never another payload's archives: this one's own folder, which
        // from now on is the extraction folder.
        freeTextBuffer(&list);
        char own[kPathCapacity];
        if (!payloadFolder(payload, own, sizeof(own))) {
            reportWriteFailure(directory);
            placed = Placed::Stopped;
        } else {
            std::strcpy(Config.ExtractionDirectory, own);
            trace("archives: this payload's own folder \"%s\"", own);
            placed = useFolder(own, true, true, payload, true, &list);
        }
    }
    // Stopped early: the class path stays as it was, not even the archives
    // already written are added.
    const bool complete = placed == Placed::Done;
    if (complete) extendClassPath(list.text);
    trace("archives: %s ClassPath \"%s\"", complete ? "added to" : "stopped, unchanged", Config.ClassPath);
    freeTextBuffer(&list);
    freePayloadRecord(&payload);
}

bool extractionFolderPath(char* buffer, size_t capacity) {
    const char* directory = Config.ExtractionDirectory;
    if (isEmpty(directory)) return false;
    if (platform::isAbsolutePath(directory)) return std::snprintf(buffer, capacity, "%s", directory) < int(capacity);
    // ".", or "." and a separator and the folder's name: beside the executable.
    char folder[kPathCapacity];
    if (platform::executablePath(folder, sizeof(folder)) == 0 || !cutAtLastSeparator(folder)) return false;
    const char* name = directory[1] != '\0' ? directory + 2 : "";
    int n = name[0] != '\0' ? std::snprintf(buffer, capacity, "%s%c%s", folder, platform::pathSeparator(), name)
                            : std::snprintf(buffer, capacity, "%s", folder);
    return n >= 0 && size_t(n) < capacity;
}

void runCleanupMode(const char* processIdText) {
    // A text that is no number gives 0: nothing to wait for.
    const bool ended =
        platform::waitForProcessEnd(static_cast<uint32_t>(std::atoi(processIdText)), kCleanupWaitMs);
    trace("cleanup: process %s %s", processIdText, ended ? "ended" : "not running, or still running after 30 s");
    removeExtractedFiles();
}

void removeExtractedFiles() {
    const char* directory = Config.ExtractionDirectory;
    if (isEmpty(directory)) return;
    // A relative folder is the launcher's: relative to the executable's
    // folder, never to whatever the application left current.
    char folder[kPathCapacity];
    if (platform::executablePath(folder, sizeof(folder)) == 0 || !cutAtLastSeparator(folder) ||
        !platform::setCurrentDirectory(folder))
        return;
    PayloadRecord payload = readPayload();
    if (payload.status != PayloadStatus::Valid) return;
    Config.ExtractedFileCount = payload.count;
    // The launcher used the application's folder, or this payload's own.
    cleanFolder(directory, isApplicationFolder(), payload);
    char own[kPathCapacity];
    if (payloadFolder(payload, own, sizeof(own)) && platform::fileKind(own) == platform::FileKind::Directory)
        cleanFolder(own, true, payload);
    freePayloadRecord(&payload);
}

bool claimCleanup() {
    static std::atomic<bool> claimed{false};
    return Config.ExtractedFileCount > 0 && Config.RemoveExtractedFiles && !claimed.exchange(true);
}

void startCleanupChild() {
    char executable[kPathCapacity];
    if (platform::executablePath(executable, sizeof(executable)) == 0) return;
    char processId[16];
    std::snprintf(processId, sizeof(processId), "%u", unsigned(platform::currentProcessId()));
    const char* const argv[] = {executable, kCleanupSwitch, processId, nullptr};
    const bool started = platform::spawnDetached(argv);
    trace("cleanup: child %s", started ? "started" : "not started");
}

void spawnCleanupChild() {
    if (claimCleanup()) startCleanupChild();
}

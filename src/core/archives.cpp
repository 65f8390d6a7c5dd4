// Embedded archives: where they are unpacked, unpacking them at start-up
// (skipping those already there unchanged), putting them on the class path,
// and removing them again from a detached cleanup child.
//
// The payload is checked whole before anything is written or deleted
// (core/payload.h). Each archive is written under a temporary name and moved
// into place, so that no process ever opens a half-written archive and a
// running VM that has the old one open keeps reading the old one.
#include "core/archives.h"

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

// Writes an archive into a new file (or one it truncates) and stamps it
// with the archive's time. The last error tells why it failed.
bool writeArchive(const char* path, const PayloadEntry& entry) {
    platform::OutputFile file;
    if (!platform::createOutputFile(path, &file)) return false;
    bool ok = platform::copyPayloadToFile(file, entry.offset, entry.size) &&
              platform::setOutputFileTime(file, entry.fileTime);
    uint32_t error = platform::lastError();
    if (!platform::closeOutputFile(file)) return false;
    platform::setLastError(error);
    return ok;
}

// One archive at its path: kept when it is there unchanged (size and time to
// the 100 ns) or in use, written otherwise. False when unpacking must stop
// (reported).
bool unpackEntry(const char* path, const PayloadEntry& entry, int32_t index) {
    platform::FileFacts facts;
    switch (platform::fileFacts(path, &facts)) {
        case platform::FactsResult::Found:
            if (!facts.isDirectory && facts.size == entry.size && facts.writeTime == entry.fileTime) {
                traceArchive(path, "kept, unchanged");
                return true;
            }
            break;
        case platform::FactsResult::Failed:
            reportErrorWithReason("Internal error RC000006");
            break;
        case platform::FactsResult::Missing:
            break;
    }
    // A running copy of the application holds it open: it stays as it is.
    if (platform::fileInUse(path)) {
        traceArchive(path, "kept, in use");
        return true;
    }

    char temporary[kEntryPathCapacity];
    char name[40];
    std::snprintf(name, sizeof(name), ".vantrel-%u-%d.tmp", unsigned(platform::currentProcessId()), int(index));
    if (!joinPath(temporary, sizeof(temporary), Config.ExtractionDirectory, name)) {
        reportWriteFailure(path);
        return false;
    }
    if (!writeArchive(temporary, entry)) {
        uint32_t error = platform::lastError();
        platform::deleteFile(temporary);
        platform::setLastError(error);
        reportWriteFailure(path);
        return false;
    }
    if (!platform::replaceFile(temporary, path)) {
        uint32_t error = platform::lastError();
        platform::deleteFile(temporary);
        // Something is there that cannot be replaced: it stays, as an archive
        // in use does.
        if (platform::fileKind(path) != platform::FileKind::Missing) {
            traceArchive(path, "kept, cannot be replaced");
            return true;
        }
        platform::setLastError(error);
        reportWriteFailure(path);
        return false;
    }
    traceArchive(path, "written");
    return true;
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
        found = platform::temporaryDirectory(base, sizeof(base)) != 0;
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
    if (platform::holdExtractionFolder(directory, isApplicationFolder(), isApplicationFolder()) !=
        platform::FolderResult::Ready) {
        reportWriteFailure(directory);
        freePayloadRecord(&payload);
        return;
    }
    Config.ExtractedFileCount = payload.count;

    TextBuffer list{};
    bool complete = true;
    for (int32_t i = 0; complete && i < payload.count; ++i) {
        const PayloadEntry& entry = payload.entries[i];
        char path[kEntryPathCapacity];
        if (!joinPath(path, sizeof(path), directory, entry.name)) {
            reportWriteFailure(entry.name);
            complete = false;
            continue;
        }
        appendText(&list, path);
        appendText(&list, ";");
        complete = unpackEntry(path, entry, i);
    }
    // Stopped early: the class path stays as it was, not even the archives
    // already written are added.
    if (complete) extendClassPath(list.text);
    trace("archives: %s ClassPath \"%s\"", complete ? "added to" : "stopped, unchanged", Config.ClassPath);
    freeTextBuffer(&list);
    freePayloadRecord(&payload);
}

void runCleanupMode(const char* processIdText) {
    // A text that is no number gives 0: nothing to wait for.
    const bool ended =
        platform::waitForProcessEnd(static_cast<uint32_t>(std::atoi(processIdText)), kCleanupWaitMs);
    trace("cleanup: process %s %s", processIdText, ended ? "ended" : "not running, or still running after 30 s");
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
    // Busy while another live launcher uses the folder: its archives stay.
    const platform::FolderResult claim = platform::claimExtractionFolder(directory, isApplicationFolder());
    if (claim == platform::FolderResult::Ready) {
        Config.ExtractedFileCount = payload.count;
        for (int32_t i = 0; i < payload.count; ++i) {
            char path[kEntryPathCapacity];
            if (!joinPath(path, sizeof(path), directory, payload.entries[i].name)) continue;
            const bool deleted = platform::deleteFile(path);
            trace("cleanup: \"%s\" %s", path, deleted ? "deleted" : "kept");
        }
        const bool removed = platform::removeDirectory(directory);  // fails for "." and a folder that holds files
        trace("cleanup: \"%s\" %s", directory, removed ? "deleted" : "kept");
    } else {
        trace("cleanup: \"%s\" %s", directory, claim == platform::FolderResult::Busy ? "busy" : "refused");
    }
    freePayloadRecord(&payload);
}

void spawnCleanupChild() {
    char executable[kPathCapacity];
    if (platform::executablePath(executable, sizeof(executable)) == 0) return;
    char processId[16];
    std::snprintf(processId, sizeof(processId), "%u", unsigned(platform::currentProcessId()));
    const char* const argv[] = {executable, kCleanupSwitch, processId, nullptr};
    const bool started = platform::spawnDetached(argv);
    trace("cleanup: child %s", started ? "started" : "not started");
}

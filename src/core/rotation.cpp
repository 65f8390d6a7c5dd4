#include "core/rotation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

// What a reader holds at most: a line longer than this is written in pieces
// of it (into one file all the same).
constexpr size_t kPendingSize = 64 * 1024;
// How long the end waits for a woken reader to write what its pipe held.
constexpr uint32_t kReaderEndWaitMs = 5000;
// OutputFileCount outside 0 to kMostKept reads as its default.
constexpr int32_t kMostKept = 99;
constexpr int32_t kDefaultKept = 5;
// Room for ".NN" after the path.
constexpr size_t kSuffixRoom = 8;

struct RotatedOutput {
    RotatingFile file;
    char* path;  // the file's, a heap text
    platform::CapturePipe* pipe;
    platform::Thread* reader;
    size_t fill;
    char pending[kPendingSize];
};

// StdOutFile's and StdErrFile's, in the order they were opened; each taken
// out once, by the end.
std::atomic<RotatedOutput*> Outputs[2];

void reportOnce(RotatingFile* file, const char* what) {
    if (file->reported) return;
    file->reported = true;
    reportErrorWithReason("Cannot %s the output file %s.", what, file->path);
}

// NAME.<number>, or NAME itself for 0.
void numberedName(char* out, size_t capacity, const char* path, int32_t number) {
    if (number == 0)
        std::snprintf(out, capacity, "%s", path);
    else
        std::snprintf(out, capacity, "%s.%d", path, static_cast<int>(number));
}

// Moves the files one number up, the current one to NAME.1, and opens NAME
// anew. Nothing is moved over a file that could not be moved itself, so
// that no old file is lost but the oldest.
bool rotate(RotatingFile* file) {
    const size_t capacity = std::strlen(file->path) + kSuffixRoom;
    char* from = static_cast<char*>(std::malloc(capacity));
    char* to = static_cast<char*>(std::malloc(capacity));
    if (from == nullptr || to == nullptr) std::abort();
    bool moved = true;
    for (int32_t number = file->keep; number >= 1 && moved; --number) {
        numberedName(from, capacity, file->path, number - 1);
        numberedName(to, capacity, file->path, number);
        // An old file that is not there has nothing to move.
        moved = platform::replaceFile(from, to) ||
                (number > 1 && platform::lastError() == platform::kErrorFileNotFound);
    }
    std::free(from);
    std::free(to);
    platform::OutputFile next;
    uint64_t size = 0;
    if (!moved || !platform::openLogFile(file->path, false, &next, &size)) return false;
    platform::closeOutputFile(file->file);
    trace("output: \"%s\" renamed at %llu bytes", file->path, static_cast<unsigned long long>(file->size));
    file->file = next;
    file->size = 0;
    file->retryAt = 0;
    return true;
}

void writePiece(RotatingFile* file, const char* text, size_t length) {
    if (length == 0) return;
    if (!platform::writeOutputFile(file->file, text, length)) reportOnce(file, "write to");
    file->size += length;
}

uint32_t rotationReader(void* argument) {
    auto* output = static_cast<RotatedOutput*>(argument);
    for (;;) {
        const long n = platform::readCapturePipe(output->pipe, output->pending + output->fill,
                                                 sizeof(output->pending) - output->fill);
        if (n < 0) reportOnce(&output->file, "read the output for");
        if (n <= 0) break;
        output->fill += static_cast<size_t>(n);
        // Whole lines go at once; the rest waits for its line feed, unless it
        // fills the buffer.
        size_t complete = output->fill;
        while (complete > 0 && output->pending[complete - 1] != '\n') --complete;
        if (complete == 0 && output->fill == sizeof(output->pending)) complete = output->fill;
        writeRotating(&output->file, output->pending, complete);
        output->fill -= complete;
        std::memmove(output->pending, output->pending + complete, output->fill);
    }
    // The last line, without its line feed.
    writeRotating(&output->file, output->pending, output->fill);
    output->fill = 0;
    return 0;
}

// What openRotatedOutput made: the pipe (when there is one), the file
// (when open) and the record.
void closeOutput(RotatedOutput* output, bool fileOpen) {
    platform::closeCapturePipe(output->pipe);
    if (fileOpen) closeRotatingFile(&output->file);
    std::free(output->path);
    std::free(output);
}

}  // namespace

bool outputFilesRotate() { return Config.OutputFileLimit > 0 && (Config.StdOutMode == 1 || Config.StdErrMode == 1); }

bool openRotatingFile(RotatingFile* file, const char* path, bool append, uint64_t limit, int32_t keep) {
    *file = RotatingFile{path, {}, 0, limit, keep >= 0 && keep <= kMostKept ? keep : kDefaultKept, false, 0, false};
    return platform::openLogFile(path, append, &file->file, &file->size);
}

void writeRotating(RotatingFile* file, const char* text, size_t length) {
    size_t written = 0;  // text before this is written
    for (size_t at = 0; at < length;) {
        const void* feed = std::memchr(text + at, '\n', length - at);
        const size_t end = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - text) + 1 : length;
        // The size the file would have with the lines before this one.
        const uint64_t size = file->size + (at - written);
        const bool beginsLine = at > 0 || !file->midLine;
        if (beginsLine && file->limit != 0 && size > 0 && size + (end - at) > file->limit && size >= file->retryAt) {
            writePiece(file, text + written, at - written);
            written = at;
            if (!rotate(file)) {
                reportOnce(file, "rename");
                file->retryAt = file->size + file->limit;
            }
        }
        at = end;
    }
    writePiece(file, text + written, length - written);
    if (length > 0) file->midLine = text[length - 1] != '\n';
}

void closeRotatingFile(RotatingFile* file) { platform::closeOutputFile(file->file); }

bool openRotatedOutput(const char* path, bool append, const char* suffix, char* pipeName, size_t cap) {
    auto* output = static_cast<RotatedOutput*>(std::calloc(1, sizeof(RotatedOutput)));
    if (output == nullptr) std::abort();
    output->path = duplicateText(path);
    const uint64_t limit = uint64_t(Config.OutputFileLimit) * 1024;
    const bool fileOpen = openRotatingFile(&output->file, output->path, append, limit, Config.OutputFileCount);
    if (fileOpen) output->pipe = platform::createCapturePipe(pipeName, cap, suffix);
    if (output->pipe == nullptr) {
        reportErrorWithReason("%s", formatMessage(MsgFileWrite, path).text);
        closeOutput(output, fileOpen);
        return false;
    }
    trace("output: \"%s\" through \"%s\", renamed at %llu bytes, %d old files kept", path, pipeName,
          static_cast<unsigned long long>(limit), static_cast<int>(output->file.keep));
    RotatedOutput* none = nullptr;
    if (!Outputs[0].compare_exchange_strong(none, output)) Outputs[1] = output;
    return true;
}

bool startRotatedOutputs(bool opened) {
    for (std::atomic<RotatedOutput*>& slot : Outputs) {
        RotatedOutput* output = slot.load();
        if (output == nullptr) continue;
        if (opened) {
            platform::releaseCapturePipeName(output->pipe);
            platform::Thread* reader = platform::startThread(rotationReader, output);
            output->reader = reader;
            // Published again, with its reader, as the last touch of this
            // thread: the end may come on another one (the exit hook's).
            if (reader != nullptr) {
                slot.store(output);
                continue;
            }
            reportErrorWithReason("Internal error RC000015");
            opened = false;
        }
        slot = nullptr;
        closeOutput(output, true);
    }
    return opened;
}

void endRotatedOutputs() {
    for (std::atomic<RotatedOutput*>& slot : Outputs) {
        RotatedOutput* output = slot.exchange(nullptr);
        if (output == nullptr) continue;
        platform::Thread* reader = output->reader;
        platform::wakeCapturePipe(output->pipe);
        // A reader still at work keeps its pipe and file.
        if (platform::waitForThread(reader, kReaderEndWaitMs)) closeOutput(output, true);
        platform::releaseThread(reader);
    }
}

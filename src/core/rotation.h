// Output files renamed at a size limit while the application runs
// (OutputFileLimit, OutputFileCount). The stream reaches the launcher
// through a pipe, and a thread of ours writes it into the file: a line is
// never cut between two files, and what the process holds of the output at
// any time is one buffer's worth, whatever the volume.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// True when StdOutFile or StdErrFile (mode 1) is to be rotated.
bool outputFilesRotate();

// One file being written: the writer's state, for the reader thread and the
// unit tests. Renaming moves NAME to NAME.1, an older NAME.1 to NAME.2, and
// so on; NAME.<keep> is replaced, so that keep old files remain (none: the
// file is emptied).
struct RotatingFile {
    const char* path;
    platform::OutputFile file;
    uint64_t size;     // bytes in the current file
    uint64_t limit;    // bytes; 0: never renamed
    int32_t keep;      // old files kept
    bool midLine;      // the current file ends inside a line
    uint64_t retryAt;  // after a renaming failed: the size at which it is tried again
    bool reported;     // a failure of this file has been reported
};

// Opens path (created when missing, emptied unless append). False (last
// error set) when it cannot be opened.
bool openRotatingFile(RotatingFile* file, const char* path, bool append, uint64_t limit, int32_t keep);
// Writes text into the file, renaming it first at each line that begins
// where the file already holds something and would end past the limit. A
// line that begins in one file ends in it, also when it is longer than the
// limit. A failed renaming is reported once; the file then grows on until
// another limit's worth has been written, and is tried again. A failed
// write is reported once; its text is lost.
void writeRotating(RotatingFile* file, const char* text, size_t length);
void closeRotatingFile(RotatingFile* file);

// Step 1 of the standard streams' set-up: opens a file to be rotated and the
// pipe that Java is to write its stream into (pipeName receives its name,
// capacity cap; suffix makes the name its own where the platform needs it).
// False (reported, message 3) when either cannot be made.
bool openRotatedOutput(const char* path, bool append, const char* suffix, char* pipeName, size_t cap);
// Once Java has opened the pipes (opened true): starts their readers; false
// (reported) when one cannot be started. With opened false the files and
// pipes are closed again.
bool startRotatedOutputs(bool opened);
// Wakes the readers, lets them write what their pipes still hold (a last
// line without its line feed included) and closes the files: once, before
// the process ends; any thread. A reader that has not ended within a few
// seconds is left running.
void endRotatedOutputs();

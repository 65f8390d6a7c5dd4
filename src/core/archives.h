// Embedded archives: where they are unpacked, unpacking them at start-up,
// and removing them again from a detached cleanup child.
#pragma once

#include <cstddef>

void computeExtractionDirectory();
void extractArchives();
// The cleanup child's mode: waits up to 30 s for the launcher to end, then
// removes the unpacked archives (removeExtractedFiles).
void runCleanupMode(const char* processIdText);
void removeExtractedFiles();
// The removal of the unpacked archives after this process has ended is
// wanted when archives were unpacked and RemoveExtractedFiles is set; it is
// handed out once: true for the first caller only, who sees to it.
bool claimCleanup();
// A detached cleanup child for this process.
void startCleanupChild();
// startCleanupChild when claimCleanup hands the removal to this caller.
void spawnCleanupChild();
// The folder the archives were unpacked into, as an absolute path (a
// relative ExtractionDirectory is the executable's folder's), into buffer;
// false when there is none or it does not fit.
bool extractionFolderPath(char* buffer, size_t capacity);

// The switch that starts the cleanup child's run mode.
constexpr const char* kCleanupSwitch = "-vtremovetemporaryjarfiles";

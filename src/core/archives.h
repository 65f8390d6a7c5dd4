// Embedded archives: where they are unpacked, unpacking them at start-up,
// and removing them again from a detached cleanup child.
#pragma once

#include <cstddef>

void computeExtractionDirectory();
void extractArchives();
void runCleanupMode(const char* processIdText);
void spawnCleanupChild();
// The folder the archives were unpacked into, as an absolute path (a
// relative ExtractionDirectory is the executable's folder's), into buffer;
// false when there is none or it does not fit.
bool extractionFolderPath(char* buffer, size_t capacity);

// The switch that starts the cleanup child's run mode.
constexpr const char* kCleanupSwitch = "-vtremovetemporaryjarfiles";

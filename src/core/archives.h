// Embedded archives: where they are unpacked, unpacking them at start-up,
// and removing them again from a detached cleanup child.
#pragma once

void computeExtractionDirectory();
void extractArchives();
void runCleanupMode(const char* processIdText);
void spawnCleanupChild();

// The switch that starts the cleanup child's run mode.
constexpr const char* kCleanupSwitch = "-vtremovetemporaryjarfiles";

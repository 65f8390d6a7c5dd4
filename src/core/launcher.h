// The launcher's entry point and its start-up steps.
#pragma once

// The whole launcher: chooses the run mode, runs it, returns the exit status.
int launcherMain(int argc, char** argv);

// What the extraction directory and the cleanup mode need before anything
// else: message 2, the encoded main class and ExtractLocation.
void loadEarlySettings();

// Start-up up to and including the configuration: extraction directory,
// start directory, the executable's folder made current, AppName, and the
// configuration with its settings-file override. False when a step failed
// (it has been reported). The cleanup mode is not recognised here.
bool loadLauncherState(int argc, char** argv);

// Applies the command-line service overrides (argument count taken:
// 3 for install and service, 1 for uninstall).
void applyServiceOverride(int argc, char** argv, int argumentsTaken);

// Finding the Java runtime and creating the virtual machine in this process.
#pragma once

// Walks the digits of JvmSearchOrder; on success JvmPath holds the chosen
// runtime library. On failure the not-found actions have run.
bool findJavaRuntime();
// Loads the runtime and creates the VM; false when it could not (reported).
bool createJavaVm();

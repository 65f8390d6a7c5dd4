// Running the application's main class over JNI.
#pragma once

#include <cstdint>

// Called just before main, once the VM exists and the main class and its
// main method have been found; false: main is not called, and the
// invocation ends as if it had returned.
using MainGate = bool (*)();
// Calls main of MainClass (StaticOptions, then the arguments, or AppOptions
// for none). A secondary invocation attaches its thread first. False when
// main could not be called or ended with an exception (reported).
bool invokeMainClass(int32_t count, char** arguments, bool secondary, MainGate gate = nullptr);
void shutdownJavaVm();
bool applyWorkingDirectory(bool beforeVm);

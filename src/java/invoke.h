// Running the application's main class over JNI.
#pragma once

#include <cstdint>

bool invokeMainClass(int32_t count, char** arguments, bool secondary);
void shutdownJavaVm();
bool applyWorkingDirectory(bool beforeVm);

// Running the application's main class over JNI.
#pragma once

#include <cstdint>

#include <jni.h>

bool invokeMainClass(int32_t count, char** arguments, bool secondary);
void shutdownJavaVm();
bool setSystemProperty(JNIEnv* env, const char* name, const char* value);
jstring newJavaString(JNIEnv* env, const char* text);
bool checkJavaException(JNIEnv* env);
bool applyWorkingDirectory(bool beforeVm);

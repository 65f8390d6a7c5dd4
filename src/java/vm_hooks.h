// The hooks that a service launch registers as the VM options "vfprintf",
// "abort" and "exit" (signatures as the Invocation API defines them).
#pragma once

#include <cstdarg>
#include <cstdio>

#include <jni.h>

extern "C" {
jint JNICALL vmOutputHook(FILE* stream, const char* format, va_list args);
void JNICALL vmAbortHook();
void JNICALL vmExitHook(jint status);
}

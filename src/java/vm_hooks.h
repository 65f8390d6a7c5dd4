// The hooks that a service launch registers as the VM options "vfprintf",
// "abort" and "exit" (signatures as the Invocation API defines them), what
// they share at the end of the process, and the service's stop through
// System.exit.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include <jni.h>

#include "core/launcher_config.h"

extern "C" {
jint JNICALL vmOutputHook(FILE* stream, const char* format, va_list args);
void JNICALL vmAbortHook();
void JNICALL vmExitHook(jint status);
// The "exit" hook outside service mode, of a traced launch, one that records
// a class list for the class-data cache or one whose output files are
// rotated: traces the status, starts the cache's writer, lets the rotated
// files take what their pipes still hold, and returns; the VM ends the
// process as it would without it.
void JNICALL vmLaunchExitHook(jint status);
}

// The abort hook's report.
constexpr const char kVmAbortedText[] = "JVM has aborted due to an internal error.";

// Starts the cleanup child when archives were unpacked and are to be
// removed; in service mode records how the VM ends the process (HookEndsProcess,
// VmExitStatus), signals ServiceStopEvent and waits (bounded) until the
// service entry point has reported it and set ServiceDone.
void exitCleanup(VmEnd how, int32_t status);
// Polls ServiceDone every 100 ms for at most boundMs; true once it is set.
bool waitForServiceDone(uint32_t boundMs);
// Calls System.exit(0) on this thread, attached as "Vantrel stopper thread".
// Does not return when the exit proceeds; false (reported) when it cannot
// be made or the application refused it.
bool stopViaSystemExit();

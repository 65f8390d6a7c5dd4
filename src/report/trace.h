// The start-up trace. With the environment variable VANTREL_TRACE set to 1
// (or to a file name) the launcher writes one line for each decision it
// takes while it starts: where each setting came from, every runtime
// candidate, the archives, the class path, the VM options, main and its
// arguments, the run mode and the exit status. The lines go to standard
// error (or are appended to that file), each "vantrel[PID] " and a text of
// at most 4096 bytes; values that placeholders took from environment
// variables are hidden. Unset, "" or "0": no trace, and nothing else changes.
#pragma once

#include <cstddef>

// Set once by traceStart, before any other thread exists.
extern bool TraceActive;
// The one check every tracing place makes first.
inline bool traceOn() { return TraceActive; }

// Reads VANTREL_TRACE and opens its destination: the entry point's first
// step. A file that cannot be opened (or a name longer than 1024 bytes)
// sends the trace to standard error instead, with a line that says so.
void traceStart();

// One line of the trace (nothing when it is off). Control characters are
// written as \xNN; a text too long for the line is cut on a whole UTF-8
// character and marked " [cut]". The last error is left as it was.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A value that a %NAME% placeholder took from an environment variable: from
// now on the trace writes <hidden:%NAME%> wherever the value (or a blank-
// separated part of it, which splitting may have made an argument of its
// own) would appear; a value shorter than four bytes only where it is a
// word of a quoted value, so that "1" leaves the lines' own numbers alone.
// JAVA_HOME, which the runtime search shows anyway, and the variables that
// name the per-user folder (TMP, TEMP, TMPDIR, XDG_RUNTIME_DIR,
// XDG_CACHE_HOME, HOME), which the extraction folder shows, stay visible.
void traceEnvironmentValue(const char* name, size_t nameLength, const char* value);

// A key of the settings file that was applied, with its value as written
// there (before placeholders were expanded).
void traceSettingsFileKey(const char* key, const char* value);

// Every setting with its value and where it came from (resource, settings
// file or default), once the configuration is loaded.
void traceSettings();

// "" for null: trace arguments that may be unset.
inline const char* traceText(const char* text) { return text != nullptr ? text : ""; }

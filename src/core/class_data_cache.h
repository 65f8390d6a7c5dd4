// The class-data cache that the launcher keeps for the application when
// ClassDataCache is set: one archive per application and runtime in the
// user's cache folder, named from a digest of what makes it valid. A start
// without it has its VM record the classes it loads, and once the VM has
// ended starts the writer that builds the archive from that list
// (core/class_data_writer.h); a start with it has the VM map the
// application's classes from it. The runtime's class-sharing messages go to
// a log of this start, and from there to the trace.
#pragma once

#include <cstdint>

#include <jni.h>

// The most options prepareClassDataCache adds.
constexpr int32_t kClassDataCacheOptionCount = 3;

// Before the application's VM is created: options[0 .. count) are its
// options so far (the class path among them); the cache's own are written
// after them (heap texts). Returns the new count: count itself when the
// cache is off for this start, which the trace says why.
int32_t prepareClassDataCache(JavaVMOption* options, int32_t count);
// True when this start's VM records the class list: its end must be seen,
// also when the application ends it with System.exit, and the removal of
// the unpacked archives waits for it (the writer reads them first).
bool classDataCacheRecording();
// Once the VM has been created: the runtime's messages so far go to the
// trace, and a cache the runtime refused is removed (the next start records
// anew).
void checkClassDataCache();
// Once the VM has ended (DestroyJavaVM has returned, or in the exit hook):
// a start that recorded a class list starts the writer, which also removes
// the unpacked archives when that falls to this process (else the cleanup
// child does); the log goes. vmEnded false (main failed, the process ends
// now): the start's files go, and no writer starts. Does its work once;
// nothing when the cache is off.
void finishClassDataCache(bool vmEnded = true);

// The class-data cache that the launcher keeps for the application when
// ClassDataCache is set: one archive per application and runtime in the
// user's cache folder, named from a digest of what makes it valid. A start
// without it has the VM write it when the VM ends (under this process's own
// temporary name, moved into place afterwards); a start with it has the VM
// map the application's classes from it. The runtime's class-sharing
// messages go to a log of this start, and from there to the trace.
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
// True when this start's VM writes the cache: its end must be seen, also
// when the application ends it with System.exit.
bool classDataCacheWriting();
// Once the VM has been created: the runtime's messages so far go to the
// trace, and a cache the runtime refused is removed (the next start writes
// a new one).
void checkClassDataCache();
// Once the VM has ended (DestroyJavaVM has returned, or in the exit hook):
// the archive this start's VM wrote is moved into place, and the log goes.
// Does its work once; nothing when the cache is off.
void finishClassDataCache();

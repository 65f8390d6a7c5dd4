// Names as Windows compares them: NTFS keeps a directory's names, and the
// registry its subkeys, sorted by their UTF-16 code units once upper-cased
// (so "ab.jar" < "Alpha.JAR" < "a_b.jar", and 'é' sorts with 'É'); two names
// whose upper-cased forms are equal name one file there. The same code on
// both sides: the POSIX side orders class paths and the runtime table with
// it, and the payload's names are checked with it on every platform.
#pragma once

#include <cstddef>

namespace platform {

// The name as Windows compares it, UTF-16 upper-cased, into key (capacity
// in units); returns its length, 0 when it is empty or does not fit.
size_t windowsNameKey(const char* name, char16_t* key, size_t cap);
// <0, 0, >0 as strcmp. Names equal but for case are ordered by their bytes,
// so that the order is total.
int compareNamesAsWindows(const char* a, const char* b);

}  // namespace platform

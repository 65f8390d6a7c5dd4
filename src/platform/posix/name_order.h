// Names in the order Windows lists them: NTFS keeps a directory's names, and
// the registry its subkeys, sorted by their UTF-16 code units once upper-cased
// (so "ab.jar" < "Alpha.JAR" < "a_b.jar", and 'é' sorts with 'É').
#pragma once

namespace platform {

// <0, 0, >0 as strcmp. Names equal but for case are ordered by their bytes,
// so that the order is total.
int compareNamesAsWindows(const char* a, const char* b);

}  // namespace platform

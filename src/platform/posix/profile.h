// POSIX side: the profile reader's text parsed from bytes in memory, for the
// fuzzer that drives the reader without a file.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace platform {

// The bytes of a profile file, decoded as a file of that content would be.
// Free it with freeProfileFile.
ProfileFile* parseProfileBytes(const unsigned char* data, size_t size);

}  // namespace platform

// POSIX side: our own profile (INI) reader. (Placeholder: finds nothing.)
#include <string.h>

#include "platform/platform.h"

namespace platform {

size_t readProfileString(const char*, const char*, const char* defaultValue, char* buf, size_t cap, const char*) {
    if (cap == 0) return 0;
    size_t n = strlen(defaultValue);
    if (n >= cap) n = cap - 1;
    memcpy(buf, defaultValue, n);
    buf[n] = '\0';
    return n;
}

}  // namespace platform

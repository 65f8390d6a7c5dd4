// POSIX side: the installed-runtime table in the registry's place.
// (Placeholder: no runtimes.)
#include "platform/platform.h"

namespace platform {

bool readRegistryString(const char*, const char*, char* buf, size_t cap) {
    if (cap > 0) buf[0] = '\0';
    return false;
}
RegistryKey* openRegistryKey(const char*) { return nullptr; }
bool enumRegistrySubkey(RegistryKey*, uint32_t, char*, size_t) { return false; }
void closeRegistryKey(RegistryKey*) {}

}  // namespace platform

// Windows side: the runtime keys under HKEY_LOCAL_MACHINE.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

bool readRegistryString(const char* key, const char* value, char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    HKEY handle;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    DWORD type = 0;
    DWORD size = cap > 0xFFFFFFF ? 0xFFFFFFF : static_cast<DWORD>(cap);
    result = RegQueryValueExA(handle, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        SetLastError(result != ERROR_SUCCESS ? static_cast<DWORD>(result) : ERROR_DATATYPE_MISMATCH);
        buf[0] = '\0';
        return false;
    }
    // Registry strings need not be terminated. One stored without its
    // terminator that fills the buffer exactly would have to lose its last
    // character to get one: refuse it, a cut path names a different file.
    if (size > 0 && buf[size - 1] == '\0') return true;
    if (size >= cap) {
        SetLastError(ERROR_MORE_DATA);
        buf[0] = '\0';
        return false;
    }
    buf[size] = '\0';
    return true;
}

struct RegistryKey {
    HKEY handle;
};

RegistryKey* openRegistryKey(const char* key) {
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return nullptr;
    return new RegistryKey{handle};
}

bool enumRegistrySubkey(RegistryKey* key, uint32_t index, char* name, size_t cap) {
    if (cap == 0) return false;
    DWORD size = cap > 0xFFFF ? 0xFFFF : static_cast<DWORD>(cap);
    return RegEnumKeyExA(key->handle, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void closeRegistryKey(RegistryKey* key) {
    if (key == nullptr) return;
    RegCloseKey(key->handle);
    delete key;
}

}  // namespace platform

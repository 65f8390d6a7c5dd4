// Windows side of the service seam: the Service Control Manager's entry,
// the event-log source and description in the registry, the dispatcher, the
// control handler and the status reports.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// Key paths are built in buffers of this size, terminator included; a name
// that would not fit is refused, never cut into another key.
constexpr size_t kKeyPathCapacity = 272;
constexpr const char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// A Service Control Manager handle, closed once; closing keeps the last
// error of the step that failed.
struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle() {
        if (handle == nullptr) return;
        DWORD error = GetLastError();
        CloseServiceHandle(handle);
        SetLastError(error);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

bool keyPath(char* out, const char* prefix, const char* name) {
    size_t a = std::strlen(prefix), b = std::strlen(name);
    if (a + b >= kKeyPathCapacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(out, prefix, a);
    std::memcpy(out + a, name, b + 1);
    return true;
}

// The registry reports its failures as results, not as the last error.
bool registryResult(LONG result) {
    if (result == ERROR_SUCCESS) return true;
    SetLastError(static_cast<DWORD>(result));
    return false;
}

bool createRegistryKey(const char* path) {
    HKEY key;
    if (!registryResult(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &key, nullptr)))
        return false;
    RegCloseKey(key);
    return true;
}

// Sets one value of an existing key. Texts are stored with their
// terminating zero, as the registry expects of REG_EXPAND_SZ data.
bool setRegistryValue(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    if (!registryResult(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WRITE, &key))) return false;
    LONG result = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return registryResult(result);
}

bool setRegistryString(const char* path, const char* name, const char* text) {
    return setRegistryValue(path, name, REG_EXPAND_SZ, text, static_cast<DWORD>(std::strlen(text) + 1));
}

ServiceEntryProcedure entryProcedure = nullptr;
ServiceControlProcedure controlProcedure = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WINAPI serviceMainTrampoline(DWORD, LPSTR*) { entryProcedure(); }
void WINAPI controlTrampoline(DWORD control) { controlProcedure(control); }

}  // namespace

bool checkServiceName(const char* name) {
    if (name[0] == '\0' || std::strpbrk(name, "\\/") != nullptr) {
        setFailureReason(Failure::NotServiceName);
        return false;
    }
    char path[kKeyPathCapacity];
    return keyPath(path, kEventSourceKey, name);
}

int queryServiceEntry(const char* name) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (manager.handle == nullptr) return -1;
    ScHandle service(OpenServiceA(manager.handle, name, SERVICE_QUERY_CONFIG));
    if (service.handle != nullptr) return 1;
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : -1;
}

bool installServiceEntry(const ServiceDefinition& service) {
    char eventKey[kKeyPathCapacity];
    char serviceKey[kKeyPathCapacity];
    if (!keyPath(eventKey, kEventSourceKey, service.name) || !keyPath(serviceKey, kServiceKey, service.name))
        return false;
    {
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        if (manager.handle == nullptr) return false;
        const DWORD type = SERVICE_WIN32_OWN_PROCESS | (service.interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
        const DWORD start = service.manualStart ? SERVICE_DEMAND_START : SERVICE_AUTO_START;
        const char* dependencies = service.dependencies[0] != '\0' ? service.dependencies : nullptr;
        ScHandle created(CreateServiceA(manager.handle, service.name, service.name, SERVICE_ALL_ACCESS, type, start,
                                        SERVICE_ERROR_NORMAL, service.commandLine, nullptr, nullptr, dependencies,
                                        nullptr, nullptr));
        if (created.handle == nullptr) return false;
    }
    const DWORD types = kTypesSupported;
    if (!createRegistryKey(eventKey) || !setRegistryString(eventKey, "EventMessageFile", service.executablePath) ||
        !setRegistryValue(eventKey, "TypesSupported", REG_DWORD, &types, sizeof(types)))
        return false;
    return service.description[0] == '\0' || setRegistryString(serviceKey, "Description", service.description);
}

bool stopServiceEntry(const char* name, uint32_t boundMs) {
    // How often the state is asked while the service stops.
    constexpr uint32_t kStopPollMs = 100;
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) return false;
    ScHandle service(OpenServiceA(manager.handle, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (service.handle == nullptr) return false;
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service.handle, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    // A stop already under way is waited for, not asked again.
    if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(service.handle, SERVICE_CONTROL_STOP, &status))
        return false;
    for (uint32_t waited = 0; status.dwCurrentState != SERVICE_STOPPED; waited += kStopPollMs) {
        if (waited >= boundMs) {
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return false;
        }
        Sleep(kStopPollMs);
        if (!QueryServiceStatus(service.handle, &status)) return false;
    }
    return true;
}

bool removeServiceEntry(const char* name) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.handle == nullptr) return false;
    ScHandle service(OpenServiceA(manager.handle, name, DELETE));
    return service.handle != nullptr && DeleteService(service.handle) != 0;
}

bool startServiceDispatcher(const char* name, ServiceEntryProcedure entry) {
    entryProcedure = entry;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(name), serviceMainTrampoline}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

bool registerServiceControlHandler(const char* name, ServiceControlProcedure handler) {
    controlProcedure = handler;
    statusHandle = RegisterServiceCtrlHandlerA(name, controlTrampoline);
    return statusHandle != nullptr;
}

void setServiceStatus(const ServiceStatus& status, const char*) {
    SERVICE_STATUS reported;
    std::memset(&reported, 0, sizeof(reported));
    reported.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    reported.dwCurrentState = status.state;
    reported.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    reported.dwWin32ExitCode = status.win32ExitCode;
    reported.dwServiceSpecificExitCode = status.serviceExitCode;
    reported.dwCheckPoint = status.checkPoint;
    reported.dwWaitHint = status.waitHintMs;
    SetServiceStatus(statusHandle, &reported);
}

void* registerEventSource(const char* name) { return RegisterEventSourceA(nullptr, name); }

const char* serviceVmOption() { return nullptr; }

}  // namespace platform

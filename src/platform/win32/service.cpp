// Windows side of the service seam: the Service Control Manager's entry,
// the event-log source and description in the registry, the dispatcher, the
// control handler and the status reports.
#include <windows.h>

#include <cstdio>
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

// The account CreateServiceA is given, in the manager's own spelling (empty
// for LocalSystem, which CreateServiceA takes as null): only those that need
// no password, since none is ever stored.
bool accountName(const char* account, const char* service, char* out, size_t capacity) {
    static const char* const kBuiltIn[][2] = {{"LocalSystem", ""},
                                              {"LocalService", "NT AUTHORITY\\LocalService"},
                                              {"NetworkService", "NT AUTHORITY\\NetworkService"}};
    constexpr char kVirtual[] = "NT SERVICE\\";
    constexpr size_t kVirtualLength = sizeof(kVirtual) - 1;
    const char* chosen = account[0] == '\0' ? "" : nullptr;
    for (const auto& known : kBuiltIn)
        if (_stricmp(account, known[0]) == 0 || (known[1][0] != '\0' && _stricmp(account, known[1]) == 0))
            chosen = known[1];
    if (chosen != nullptr) return std::snprintf(out, capacity, "%s", chosen) >= 0;
    const int length = std::snprintf(out, capacity, "%s%s", kVirtual, service);
    if (_strnicmp(account, kVirtual, kVirtualLength) == 0 && _stricmp(account + kVirtualLength, service) == 0 &&
        length > 0 && static_cast<size_t>(length) < capacity)
        return true;
    setFailureReason(Failure::NotServiceAccount);
    return false;
}

// One setting given to the manager. The manager keeps it as a value of the
// service's key; where it kept none (Wine's manager accepts failure actions
// without keeping them, and refuses the non-crash flag and the delayed
// start), the value is written there as Windows' manager keeps it, which
// every manager reads when it starts.
bool configureService(SC_HANDLE service, const char* key, DWORD level, void* info, const char* value, DWORD type,
                      const void* data, DWORD size) {
    const bool applied = ChangeServiceConfig2A(service, level, info) != 0;
    const DWORD error = GetLastError();
    HKEY handle;
    bool kept = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) == ERROR_SUCCESS;
    if (kept) {
        kept = RegQueryValueExA(handle, value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(handle);
    }
    if (kept || setRegistryValue(key, value, type, data, size)) return true;
    if (!applied) SetLastError(error);
    return false;
}

// The failure count goes back to 0 after a day without a failure.
constexpr DWORD kFailureResetS = 86400;

bool configureFailureActions(SC_HANDLE service, const char* key, DWORD delayMs) {
    SC_ACTION action = {SC_ACTION_RESTART, delayMs};
    SERVICE_FAILURE_ACTIONSA actions = {kFailureResetS, nullptr, nullptr, 1, &action};
    // As the manager keeps it: the structure, its texts (kept elsewhere) as
    // 0 and its actions as their offset, then the actions.
    const DWORD kept[] = {kFailureResetS, 0, 0, 1, 5 * sizeof(DWORD), SC_ACTION_RESTART, delayMs};
    // The last action repeats for every later failure; the flag makes a
    // stop with a failure exit code count, not only a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    const DWORD on = 1;
    return configureService(service, key, SERVICE_CONFIG_FAILURE_ACTIONS, &actions, "FailureActions", REG_BINARY,
                            kept, sizeof(kept)) &&
           configureService(service, key, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag,
                            "FailureActionsOnNonCrashFailures", REG_DWORD, &on, sizeof(on));
}

ServiceEntryProcedure entryProcedure = nullptr;
ServiceControlProcedure controlProcedure = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WINAPI serviceMainTrampoline(DWORD, LPSTR*) { entryProcedure(); }
DWORD WINAPI controlTrampoline(DWORD control, DWORD, void*, void*) {
    controlProcedure(control);
    return NO_ERROR;
}

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
    char account[kKeyPathCapacity];
    if (!accountName(service.account, service.name, account, sizeof(account))) return false;
    {
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        if (manager.handle == nullptr) return false;
        const DWORD type = SERVICE_WIN32_OWN_PROCESS | (service.interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
        const DWORD start = service.manualStart ? SERVICE_DEMAND_START : SERVICE_AUTO_START;
        const char* dependencies = service.dependencies[0] != '\0' ? service.dependencies : nullptr;
        const char* display = service.displayName[0] != '\0' ? service.displayName : service.name;
        ScHandle created(CreateServiceA(manager.handle, service.name, display, SERVICE_ALL_ACCESS, type, start,
                                        SERVICE_ERROR_NORMAL, service.commandLine, nullptr, nullptr, dependencies,
                                        account[0] != '\0' ? account : nullptr, nullptr));
        if (created.handle == nullptr) return false;
        // A shutdown waits for the stop as long as a stop request does.
        DWORD budget = service.stopBudgetMs;
        SERVICE_PRESHUTDOWN_INFO preshutdown = {budget};
        SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
        const DWORD on = 1;
        if (!configureService(created.handle, serviceKey, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown,
                              "PreshutdownTimeout", REG_DWORD, &budget, sizeof(budget)) ||
            (service.restartOnFailure &&
             !configureFailureActions(created.handle, serviceKey, service.restartDelayMs)) ||
            (service.delayedStart && !service.manualStart &&
             !configureService(created.handle, serviceKey, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed,
                               "DelayedAutostart", REG_DWORD, &on, sizeof(on))))
            return false;
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
    // The extended handler: only it is sent the pre-shutdown control.
    statusHandle = RegisterServiceCtrlHandlerExA(name, controlTrampoline, nullptr);
    return statusHandle != nullptr;
}

void setServiceStatus(const ServiceStatus& status, const char*) {
    SERVICE_STATUS reported;
    std::memset(&reported, 0, sizeof(reported));
    reported.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    reported.dwCurrentState = status.state;
    reported.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    reported.dwWin32ExitCode = status.win32ExitCode;
    reported.dwServiceSpecificExitCode = status.serviceExitCode;
    reported.dwCheckPoint = status.checkPoint;
    reported.dwWaitHint = status.waitHintMs;
    SetServiceStatus(statusHandle, &reported);
}

void* registerEventSource(const char* name) { return RegisterEventSourceA(nullptr, name); }

const char* serviceVmOption() { return nullptr; }

}  // namespace platform

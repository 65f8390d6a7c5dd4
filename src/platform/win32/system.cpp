// Windows side of the platform seam: paths, errors, processes, console,
// event log, mutexes, shell folders.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

char pathSeparator() { return '\\'; }
bool isPathSeparator(char c) { return c == '\\' || c == '/'; }
bool isAbsolutePath(const char* path) { return path[0] == '\\' || (path[0] != '\0' && path[1] == ':'); }
char classPathOptionSeparator() { return ';'; }
const char* runtimeLibraryName() { return "jvm.dll"; }
const char* const* javaHomeRuntimeCandidates() {
    static const char* const candidates[] = {"\\jre\\bin\\client\\jvm.dll", "\\jre\\bin\\server\\jvm.dll",
                                             "\\bin\\client\\jvm.dll", "\\bin\\server\\jvm.dll", nullptr};
    return candidates;
}
bool fileNamesIgnoreCase() { return true; }

uint32_t lastError() { return GetLastError(); }
void setLastError(uint32_t code) { SetLastError(code); }

size_t systemErrorText(uint32_t code, char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    DWORD size = cap > 0xFFFF ? 0xFFFF : static_cast<DWORD>(cap);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, size, nullptr);
    if (n == 0 || n >= size) {
        buf[0] = '\0';
        return 0;
    }
    buf[n] = '\0';
    return n;
}

size_t executablePath(char* buf, size_t cap) {
    if (cap == 0) return 0;
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(cap));
    // A path that filled the buffer was cut: refuse it.
    if (n == 0 || n >= cap) {
        if (n >= cap) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        buf[0] = '\0';
        return 0;
    }
    return n;
}

size_t currentDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(cap), buf);
    if (n == 0 || n >= cap) {
        if (n >= cap) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        buf[0] = '\0';
        return 0;
    }
    return n;
}

bool setCurrentDirectory(const char* path) { return SetCurrentDirectoryA(path) != 0; }

size_t temporaryDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    DWORD n = GetTempPathA(static_cast<DWORD>(cap), buf);
    if (n == 0 || n >= cap) {
        if (n >= cap) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        buf[0] = '\0';
        return 0;
    }
    return n;
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

static const DWORD kPriorityClasses[] = {REALTIME_PRIORITY_CLASS,     HIGH_PRIORITY_CLASS,
                                         ABOVE_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
                                         BELOW_NORMAL_PRIORITY_CLASS, IDLE_PRIORITY_CLASS};

void setPriorityIndex(int index) {
    if (index < 0 || index > 5) return;
    SetPriorityClass(GetCurrentProcess(), kPriorityClasses[index]);
}

int currentPriorityIndex() {
    DWORD current = GetPriorityClass(GetCurrentProcess());
    for (int i = 0; i < 6; ++i)
        if (kPriorityClasses[i] == current) return i;
    return -1;
}

bool waitForProcessEnd(uint32_t pid, uint32_t timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    WaitForSingleObject(process, timeoutMs);
    CloseHandle(process);
    return true;
}

bool spawnDetached(const char* commandLine) {
    size_t length = std::strlen(commandLine);
    char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (line == nullptr) return false;
    std::memcpy(line, commandLine, length + 1);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    PROCESS_INFORMATION info;
    BOOL ok = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE,
                             DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &info);
    HeapFree(GetProcessHeap(), 0, line);
    if (ok) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    return ok != 0;
}

void shellOpen(const char* document) { ShellExecuteA(nullptr, "open", document, nullptr, nullptr, SW_SHOW); }

void runCommand(const char* commandLine) { WinExec(commandLine, SW_SHOW); }

bool queryOsVersion() {
    OSVERSIONINFOEXA extended;
    std::memset(&extended, 0, sizeof(extended));
    extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) return true;
    OSVERSIONINFOA basic;
    std::memset(&basic, 0, sizeof(basic));
    basic.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(&basic) != 0;
#pragma GCC diagnostic pop
}

namespace {
using SpecialFolderFn = BOOL(WINAPI*)(HWND, LPSTR, int, BOOL);
SpecialFolderFn specialFolderFunction() {
    static SpecialFolderFn function = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        HMODULE shell = LoadLibraryA("SHELL32.DLL");  // stays loaded
        if (shell != nullptr)
            function = reinterpret_cast<SpecialFolderFn>(
                reinterpret_cast<void*>(GetProcAddress(shell, "SHGetSpecialFolderPathA")));
    }
    return function;
}
}  // namespace

bool specialFolderAvailable() { return specialFolderFunction() != nullptr; }

bool specialFolderPath(int csidl, char* buf, size_t cap) {
    SpecialFolderFn function = specialFolderFunction();
    if (function == nullptr || cap < MAX_PATH + 1) return false;
    buf[0] = '\0';
    return function(nullptr, buf, csidl, FALSE) != 0;
}

bool namedMutexExists(const char* name) {
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
}

bool createNamedMutex(const char* name) {
    // Held until the process ends; the system releases it then.
    return CreateMutexA(nullptr, TRUE, name) != nullptr;
}

// ---- Console and event log -------------------------------------------------

void hideConsoleWindow() {
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (kernel == nullptr) return;
    using GetConsoleWindowFn = HWND(WINAPI*)();
    auto getConsoleWindow =
        reinterpret_cast<GetConsoleWindowFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetConsoleWindow")));
    if (getConsoleWindow == nullptr) return;
    ShowWindow(getConsoleWindow(), SW_HIDE);
}

void attachServiceConsole() {
    AllocConsole();
    if (std::freopen("CONIN$", "r", stdin) == nullptr) { /* ignored */ }
    if (std::freopen("CONOUT$", "a", stdout) == nullptr) { /* ignored */ }
    if (std::freopen("CONOUT$", "a", stderr) == nullptr) { /* ignored */ }
}

namespace {
BOOL WINAPI logoffFilter(DWORD event) { return event == CTRL_LOGOFF_EVENT ? TRUE : FALSE; }
}  // namespace

void installLogoffFilter() { SetConsoleCtrlHandler(logoffFilter, TRUE); }

void writeEventLog(void* eventSource, uint16_t type, uint32_t eventId, const char* text) {
    const char* strings[1] = {text};
    ReportEventA(static_cast<HANDLE>(eventSource), type, 0, eventId, nullptr, 1, 0, strings, nullptr);
}

}  // namespace platform

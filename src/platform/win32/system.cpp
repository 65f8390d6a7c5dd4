// Windows side of the platform seam: paths, errors, processes, console,
// event log, mutexes, shell folders.
#include <windows.h>
// After windows.h: RtlGenRandom (advapi32's SystemFunction036).
#include <ntsecapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

char pathSeparator() { return '\\'; }
bool isPathSeparator(char c) { return c == '\\' || c == '/'; }
bool isAbsolutePath(const char* path) { return isPathSeparator(path[0]) || (path[0] != '\0' && path[1] == ':'); }
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

size_t temporaryDirectory(char* buf, size_t cap, char* passedOver, size_t passedCap) {
    if (passedOver != nullptr && passedCap > 0) passedOver[0] = '\0';
    if (cap == 0) return 0;
    // GetTempPath2A gives a SYSTEM process (a service) a folder that other
    // users cannot write; older systems lack it.
    using TempPathFn = DWORD(WINAPI*)(DWORD, LPSTR);
    static TempPathFn tempPath2 = reinterpret_cast<TempPathFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "GetTempPath2A")));
    DWORD size = cap > 0x7FFF ? 0x7FFF : static_cast<DWORD>(cap);
    DWORD n = tempPath2 != nullptr ? tempPath2(size, buf) : GetTempPathA(size, buf);
    if (n == 0 || n >= size) {
        if (n >= size) SetLastError(ERROR_FILENAME_EXCED_RANGE);
        buf[0] = '\0';
        return 0;
    }
    // The class-path option is built from it: ';' would split it, '%' start
    // a placeholder.
    if (std::strpbrk(buf, ";%\"") != nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        buf[0] = '\0';
        return 0;
    }
    return n;
}

bool ensurePrivateFolder(const char* path) {
    if (!CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

bool setEnvironmentVariable(const char* name, const char* value) {
    if (!SetEnvironmentVariableA(name, value)) return false;
    // The C runtime keeps a copy of its own, which getenv reads: "NAME="
    // removes the variable there.
    const size_t nameLength = std::strlen(name);
    const size_t valueLength = value != nullptr ? std::strlen(value) : 0;
    char* assignment = static_cast<char*>(std::malloc(nameLength + valueLength + 2));
    if (assignment == nullptr) std::abort();
    std::memcpy(assignment, name, nameLength);
    assignment[nameLength] = '=';
    std::memcpy(assignment + nameLength + 1, value != nullptr ? value : "", valueLength + 1);
    const bool set = _putenv(assignment) == 0;
    std::free(assignment);
    if (!set) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return set;
}

uint64_t randomNumber() {
    uint64_t value = 0;
    if (!RtlGenRandom(&value, sizeof(value))) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        value = static_cast<uint64_t>(now.QuadPart) ^ (uint64_t(GetCurrentProcessId()) << 40) ^ GetTickCount64();
    }
    return value;
}

size_t userCacheDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    char folder[MAX_PATH + 1];
    if (!specialFolderPath(28, folder, sizeof(folder)) || folder[0] == '\0') {  // CSIDL_LOCAL_APPDATA
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    size_t n = std::strlen(folder);
    if (folder[n - 1] == '\\') folder[--n] = '\0';
    static const char* const kLevels[] = {"\\Vantrel", "\\cache"};
    for (const char* level : kLevels) {
        size_t add = std::strlen(level);
        if (n + add + 2 > sizeof(folder) || n + add + 2 > cap) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        std::memcpy(folder + n, level, add + 1);
        n += add;
        if (!ensurePrivateFolder(folder)) return 0;
    }
    std::memcpy(buf, folder, n);
    buf[n++] = '\\';
    buf[n] = '\0';
    return n;
}

void ignoreBrokenPipes() {}

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

// One argument as the C runtime's parser reads it back: quoted when it is
// the program (whose name is taken up to the closing quote), empty, or holds
// a blank, tab or quote; backslashes doubled before a quote.
static bool appendArgument(char* line, size_t cap, size_t* used, const char* argument) {
    auto put = [&](char c) {
        if (*used + 1 >= cap) return false;
        line[(*used)++] = c;
        return true;
    };
    bool quote = *used == 0 || argument[0] == '\0' || std::strpbrk(argument, " \t\"") != nullptr;
    if (*used > 0 && !put(' ')) return false;
    if (quote && !put('"')) return false;
    size_t backslashes = 0;
    for (const char* p = argument; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
        } else {
            if (*p == '"')
                for (size_t i = 0; i <= backslashes; ++i)
                    if (!put('\\')) return false;
            backslashes = 0;
        }
        if (!put(*p)) return false;
    }
    if (quote) {
        for (size_t i = 0; i < backslashes; ++i)
            if (!put('\\')) return false;
        if (!put('"')) return false;
    }
    line[*used] = '\0';
    return true;
}

// Starts a program detached; the caller closes the handles in info.
static bool startDetached(const char* const* argv, PROCESS_INFORMATION* info) {
    // CreateProcess's limit for a command line.
    constexpr size_t kCommandLineCapacity = 32768;
    char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kCommandLineCapacity));
    if (line == nullptr) return false;
    size_t used = 0;
    line[0] = '\0';
    for (const char* const* argument = argv; *argument != nullptr; ++argument) {
        if (!appendArgument(line, kCommandLineCapacity, &used, *argument)) {
            HeapFree(GetProcessHeap(), 0, line);
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    // The program is named, not searched for; nothing is inherited.
    BOOL ok = CreateProcessA(argv[0], line, nullptr, nullptr, FALSE,
                             DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, info);
    DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, line);
    SetLastError(error);
    return ok != 0;
}

bool spawnDetached(const char* const* argv) {
    PROCESS_INFORMATION info;
    if (!startDetached(argv, &info)) return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

ChildOutcome runChildProcess(const char* const* argv, uint32_t boundMs) {
    constexpr DWORD kKilledWaitMs = 5000;  // for a killed program's end
    ChildOutcome outcome{false, false, 0};
    PROCESS_INFORMATION info;
    if (!startDetached(argv, &info)) return outcome;
    CloseHandle(info.hThread);
    outcome.started = true;
    if (WaitForSingleObject(info.hProcess, boundMs) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, kKilledWaitMs);
        outcome.killed = true;
    }
    DWORD code = 1;
    if (!GetExitCodeProcess(info.hProcess, &code)) code = 1;
    outcome.status = code;
    CloseHandle(info.hProcess);
    return outcome;
}

void setFailureReason(Failure failure) {
    switch (failure) {
        case Failure::NameTooLong: SetLastError(ERROR_FILENAME_EXCED_RANGE); return;
        case Failure::DamagedData: SetLastError(ERROR_FILE_CORRUPT); return;
        case Failure::NotPlainName: SetLastError(ERROR_INVALID_NAME); return;
        case Failure::UntrustedFolder: SetLastError(ERROR_ACCESS_DENIED); return;
        case Failure::NotServiceName: SetLastError(ERROR_INVALID_NAME); return;
        case Failure::NoSuchService: SetLastError(ERROR_SERVICE_DOES_NOT_EXIST); return;
        case Failure::NotRegularFile: SetLastError(ERROR_CANT_ACCESS_FILE); return;
        case Failure::UntrustedFile: SetLastError(ERROR_ACCESS_DENIED); return;
        case Failure::NotUnitText: SetLastError(ERROR_INVALID_NAME); return;
        case Failure::ManagerRefused: SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT); return;
        case Failure::NotServiceAccount: SetLastError(ERROR_INVALID_SERVICE_ACCOUNT); return;
    }
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

bool showReportWindow(bool error, const char* title, const char* text) {
    // The windowed launcher is the same program linked for the GUI
    // subsystem: its own image header says which one this is.
    const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    if (nt->OptionalHeader.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI) return false;
    const UINT style = MB_OK | MB_SETFOREGROUND | (error ? MB_ICONERROR : MB_ICONINFORMATION);
    return MessageBoxA(nullptr, text, title, style) > 0;
}

namespace {
BOOL WINAPI logoffFilter(DWORD event) { return event == CTRL_LOGOFF_EVENT ? TRUE : FALSE; }
}  // namespace

void installLogoffFilter() { SetConsoleCtrlHandler(logoffFilter, TRUE); }

void writeEventLog(void* eventSource, uint16_t type, uint32_t eventId, const char* text) {
    if (eventLogOverridden(type, eventId, text)) return;
    const char* strings[1] = {text};
    ReportEventA(static_cast<HANDLE>(eventSource), type, 0, eventId, nullptr, 1, 0, strings, nullptr);
}

}  // namespace platform

// The C++ runtime's default terminate handler names the escaping exception's
// type, and to do so links its whole demangler (some 45 KB) into every packed
// launcher. No exception ever leaves the launcher's code; should the runtime
// still end up here, ending the process at once is all there is to do. This
// file is always linked, so this definition is the one the runtime finds.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

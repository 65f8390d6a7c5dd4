// POSIX side of the platform seam: paths, errors, processes, console, the
// event log's stand-in, and the single-instance lock.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

extern char** environ;

namespace platform {

char pathSeparator() { return '/'; }
bool isPathSeparator(char c) { return c == '/'; }
bool isAbsolutePath(const char* path) { return path[0] == '/'; }
char classPathOptionSeparator() { return ':'; }
const char* runtimeLibraryName() { return "libjvm.so"; }
const char* const* javaHomeRuntimeCandidates() {
    static const char* const candidates[] = {"/lib/server/libjvm.so", "/lib/client/libjvm.so",
                                             "/jre/lib/amd64/server/libjvm.so", nullptr};
    return candidates;
}
bool fileNamesIgnoreCase() { return false; }

uint32_t lastError() { return static_cast<uint32_t>(errno); }
void setLastError(uint32_t code) { errno = static_cast<int>(code); }

// Codes of our own for the failures errno has no word for, above errno's range.
constexpr uint32_t kOwnErrorBase = 0x20000000u;
static const char* const kOwnErrorTexts[] = {
    "The data is damaged or cut short",
    "Not a plain file name",
    "The folder is a link, belongs to another user or others may write to it",
    "Not a systemd unit name (letters, digits, ':', '-', '_' and '.' only, at most 247)",
    "The specified service does not exist as an installed service",
    "Not a regular file: a link, a folder, a device, a FIFO or a socket",
    "Not a regular file of this user's own: a folder, a link, a device or another user's file",
    "A text systemd would read otherwise: a line break, a quote outside the quoted texts, or a lone ';'",
    "systemctl failed (its own words are above) or did not answer in time",
    "Not an account for the unit: a user or user:group name (letters, digits, '_', '-' and '.', at most 32 each)",
};

void setFailureReason(Failure failure) {
    switch (failure) {
        case Failure::NameTooLong: errno = ENAMETOOLONG; return;
        case Failure::DamagedData: errno = static_cast<int>(kOwnErrorBase); return;
        case Failure::NotPlainName: errno = static_cast<int>(kOwnErrorBase + 1); return;
        case Failure::UntrustedFolder: errno = static_cast<int>(kOwnErrorBase + 2); return;
        case Failure::NotServiceName: errno = static_cast<int>(kOwnErrorBase + 3); return;
        case Failure::NoSuchService: errno = static_cast<int>(kOwnErrorBase + 4); return;
        case Failure::NotRegularFile: errno = static_cast<int>(kOwnErrorBase + 5); return;
        case Failure::UntrustedFile: errno = static_cast<int>(kOwnErrorBase + 6); return;
        case Failure::NotUnitText: errno = static_cast<int>(kOwnErrorBase + 7); return;
        case Failure::ManagerRefused: errno = static_cast<int>(kOwnErrorBase + 8); return;
        case Failure::NotServiceAccount: errno = static_cast<int>(kOwnErrorBase + 9); return;
    }
}

size_t systemErrorText(uint32_t code, char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    if (code == 0) return 0;
    const char* text;
    // strerror_r (GNU) may or may not use the buffer.
    char scratch[256];
    if (code >= kOwnErrorBase && code - kOwnErrorBase < sizeof(kOwnErrorTexts) / sizeof(kOwnErrorTexts[0]))
        text = kOwnErrorTexts[code - kOwnErrorBase];
    else
        text = strerror_r(static_cast<int>(code), scratch, sizeof(scratch));
    if (text == nullptr) return 0;
    size_t n = strlen(text);
    if (n >= cap) n = cap - 1;
    memcpy(buf, text, n);
    buf[n] = '\0';
    return n;
}

size_t executablePath(char* buf, size_t cap) {
    if (cap == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", buf, cap);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        if (n > 0) errno = ENAMETOOLONG;
        buf[0] = '\0';
        return 0;
    }
    buf[n] = '\0';
    return static_cast<size_t>(n);
}

size_t currentDirectory(char* buf, size_t cap) {
    if (cap == 0) return 0;
    if (getcwd(buf, cap) == nullptr) {
        if (errno == ERANGE) errno = ENAMETOOLONG;  // the path, not a number, is out of range
        buf[0] = '\0';
        return 0;
    }
    return strlen(buf);
}

bool setCurrentDirectory(const char* path) { return chdir(path) == 0; }

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

bool setEnvironmentVariable(const char* name, const char* value) {
    return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

uint64_t randomNumber() {
    uint64_t value = 0;
    // getrandom waits only until the pool is first seeded, at boot.
    if (getrandom(&value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        value = (static_cast<uint64_t>(now.tv_nsec) << 32) ^ static_cast<uint64_t>(now.tv_sec) ^
                (static_cast<uint64_t>(getpid()) << 48);
    }
    return value;
}

static const int kNiceValues[] = {-20, -10, -5, 0, 5, 19};

void setPriorityIndex(int index) {
    if (index < 0 || index > 5) return;
    int saved = errno;
    setpriority(PRIO_PROCESS, 0, kNiceValues[index]);  // failures ignored, as on Windows
    errno = saved;
}

int currentPriorityIndex() {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) return -1;
    for (int i = 0; i < 6; ++i)
        if (kNiceValues[i] == nice) return i;
    return -1;
}

bool waitForProcessEnd(uint32_t pid, uint32_t timeoutMs) {
    // 0 and values beyond pid_t would name process groups or every process.
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
    pid_t process = static_cast<pid_t>(pid);
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(syscall(SYS_pidfd_open, process, 0));
    if (fd >= 0) {
        struct pollfd entry = {fd, POLLIN, 0};
        poll(&entry, 1, static_cast<int>(timeoutMs));
        close(fd);
        return true;
    }
    if (errno == ESRCH) return false;
#endif
    if (kill(process, 0) != 0 && errno == ESRCH) return false;
    for (uint32_t waited = 0; waited < timeoutMs; waited += 100) {
        if (kill(process, 0) != 0 && errno == ESRCH) break;
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

// posix_spawn in a new session, standard streams on /dev/null, every other
// descriptor closed (the VM's and the application's included, whether or
// not they asked for close-on-exec), signals unblocked and at their defaults.
static bool spawnWithArguments(const char* const* argv, bool searchPath, pid_t* started = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child;
    char* const* arguments = const_cast<char* const*>(argv);
    int result = searchPath ? posix_spawnp(&child, argv[0], &actions, &attributes, arguments, environ)
                            : posix_spawn(&child, argv[0], &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) errno = result;
    if (result == 0 && started != nullptr) *started = child;
    return result == 0;
}

bool spawnDetached(const char* const* argv) { return spawnWithArguments(argv, false); }

ChildOutcome runChildProcess(const char* const* argv, uint32_t boundMs) {
    constexpr uint32_t kPollMs = 20;  // how soon an end is seen
    ChildOutcome outcome{false, false, 0};
    pid_t child;
    if (!spawnWithArguments(argv, false, &child)) return outcome;
    outcome.started = true;
    int status = 0;
    const uint64_t deadline = monotonicMilliseconds() + boundMs;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (ended < 0 && errno != EINTR) {  // reaped by someone else: its status is lost
            status = -1;
            break;
        }
        if (monotonicMilliseconds() >= deadline) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            outcome.killed = true;
            break;
        }
        sleepMilliseconds(kPollMs);
    }
    outcome.status = status == -1          ? 255u
                     : WIFEXITED(status)   ? static_cast<uint32_t>(WEXITSTATUS(status))
                     : WIFSIGNALED(status) ? 128u + static_cast<uint32_t>(WTERMSIG(status))
                                           : 255u;
    return outcome;
}

void shellOpen(const char* document) {
    const char* const argv[] = {"xdg-open", document, nullptr};
    spawnWithArguments(argv, true);
}

// The setting is a command line by definition: the shell runs it.
void runCommand(const char* commandLine) {
    const char* const argv[] = {"/bin/sh", "-c", commandLine, nullptr};
    spawnWithArguments(argv, false);
}

bool queryOsVersion() { return true; }

static bool homeBased(const char* variable, const char* fallback, char* buf, size_t cap) {
    const char* value = variable != nullptr ? getenv(variable) : nullptr;
    int n;
    if (value != nullptr && value[0] != '\0') {
        n = snprintf(buf, cap, "%s", value);
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') return false;
        n = fallback[0] != '\0' ? snprintf(buf, cap, "%s/%s", home, fallback) : snprintf(buf, cap, "%s", home);
    }
    return n > 0 && static_cast<size_t>(n) < cap;
}

bool specialFolderAvailable() { return true; }

bool specialFolderPath(int csidl, char* buf, size_t cap) {
    switch (csidl) {
        case 26: return homeBased("XDG_CONFIG_HOME", ".config", buf, cap);
        case 28: return homeBased("XDG_DATA_HOME", ".local/share", buf, cap);
        case 5: return homeBased(nullptr, "", buf, cap);
        default: return false;
    }
}

// ---- Single-instance lock ------------------------------------------------

// The lock file of a mutex name: "vantrel-mutex-" and the name, every byte
// other than a letter, digit, '.', '-' or '_' escaped as %XX. A name whose
// file name would be too long keeps a readable prefix and ends in "~" and a
// 64-bit FNV-1a hash of the whole name, so that every name gets a lock file
// and different names get different ones.
constexpr size_t kLockNameLimit = 255;  // NAME_MAX of the usual file systems
constexpr size_t kLockHashText = 17;    // "~" and 16 hex digits

static bool plainLockCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// In the per-user folder, as a Windows mutex is the session's own: in a
// shared folder one user could lock every other out.
static bool mutexLockPath(const char* name, char* buf, size_t cap) {
    char base[4096];
    if (temporaryDirectory(base, sizeof(base)) == 0) return false;
    static const char kPrefix[] = "vantrel-mutex-";
    int written = snprintf(buf, cap, "%s%s", base, kPrefix);
    if (written < 0 || static_cast<size_t>(written) + kLockNameLimit >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    size_t escaped = sizeof(kPrefix) - 1;
    for (const unsigned char* p = bytes; *p != '\0'; ++p) escaped += plainLockCharacter(*p) ? 1 : 3;
    const bool hashed = escaped > kLockNameLimit;
    const size_t room = hashed ? kLockNameLimit - kLockHashText : kLockNameLimit;

    size_t used = static_cast<size_t>(written);
    size_t nameLength = sizeof(kPrefix) - 1;
    static const char hex[] = "0123456789ABCDEF";
    for (const unsigned char* p = bytes; *p != '\0'; ++p) {
        bool plain = plainLockCharacter(*p);
        nameLength += plain ? 1 : 3;
        if (nameLength > room) break;
        if (plain) {
            buf[used++] = static_cast<char>(*p);
        } else {
            buf[used++] = '%';
            buf[used++] = hex[*p >> 4];
            buf[used++] = hex[*p & 15];
        }
    }
    if (hashed) {
        uint64_t hash = 0xCBF29CE484222325ULL;
        for (const unsigned char* p = bytes; *p != '\0'; ++p) hash = (hash ^ *p) * 0x100000001B3ULL;
        buf[used++] = '~';
        for (int shift = 60; shift >= 0; shift -= 4) buf[used++] = hex[(hash >> shift) & 15];
    }
    buf[used] = '\0';
    return true;
}

bool namedMutexExists(const char* name) {
    char path[4096];
    if (!mutexLockPath(name, path, sizeof(path))) return false;
    // Non-blocking and without following a link: whatever another user put
    // under the name must not hang or redirect the check.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // also drops a lock we may just have taken
    return held;
}

bool createNamedMutex(const char* name) {
    char path[4096];
    if (!mutexLockPath(name, path, sizeof(path))) return false;
    int fd = open(path, O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // The descriptor stays open, and the lock held, until the process ends.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    return true;
}

// ---- Console and event log -------------------------------------------------

void hideConsoleWindow() {}
void attachServiceConsole() {}
bool showReportWindow(bool, const char*, const char*) { return false; }

void installLogoffFilter() {
    // A log-off hangs up the terminal; a service ignores it.
    signal(SIGHUP, SIG_IGN);
}

void writeEventLog(void*, uint16_t type, uint32_t eventId, const char* text) {
    if (eventLogOverridden(type, eventId, text)) return;
    // journald takes each line as an entry of its own: a report of several
    // lines is joined into one, each run of line breaks becoming one blank.
    flockfile(stderr);
    fputs(type == 4 ? "<6>" : "<3>", stderr);
    bool pendingBreak = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak) putc_unlocked(' ', stderr);
        pendingBreak = false;
        putc_unlocked(*p, stderr);
    }
    putc_unlocked('\n', stderr);
    funlockfile(stderr);
}

}  // namespace platform

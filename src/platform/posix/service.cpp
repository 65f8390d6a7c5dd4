// POSIX side of the service seam: a systemd unit per service, and the
// service run mode: the entry on a thread of its own, SIGTERM and SIGINT as
// the stop control, the status as sd_notify datagrams.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/platform.h"

extern char** environ;

namespace platform {

namespace {

constexpr const char kSystemUnitDirectory[] = "/etc/systemd/system";
// Exists while systemd runs the machine (what sd_booted() asks): without it
// there is no manager to reload or to stop a unit.
constexpr const char kSystemdRunning[] = "/run/systemd/system";
constexpr const char kUnitSuffix[] = ".service";
constexpr size_t kLongestUnitName = 255;  // systemd's limit, suffix included
// A dependency ending in one of these already names its unit.
constexpr const char* const kUnitTypes[] = {".service", ".socket", ".device", ".mount", ".automount", ".swap",
                                            ".target", ".path", ".timer", ".slice", ".scope"};
// systemctl is asked to reload, enable or disable and normally answers at
// once; a launcher that waited longer would hang an installation for nothing.
constexpr uint32_t kSystemctlWaitMs = 30000;
constexpr uint32_t kSystemctlPollMs = 20;

bool isUnitNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '-' ||
           c == '_' || c == '.';
}

bool isUnitName(const char* name, size_t length) {
    if (length == 0 || length + sizeof(kUnitSuffix) - 1 > kLongestUnitName) return false;
    for (size_t i = 0; i < length; ++i)
        if (!isUnitNameCharacter(name[i])) return false;
    return true;
}

bool hasUnitType(const char* name, size_t length) {
    for (const char* type : kUnitTypes) {
        size_t n = strlen(type);
        if (length > n && memcmp(name + length - n, type, n) == 0) return true;
    }
    return false;
}

bool systemdRuns() {
    struct stat info;
    return lstat(kSystemdRunning, &info) == 0 && S_ISDIR(info.st_mode);
}

bool unitDirectory(std::string* directory, bool* system) {
    const char* chosen = getenv("VANTREL_SYSTEMD_DIR");
    *system = chosen == nullptr || chosen[0] == '\0';
    directory->assign(*system ? kSystemUnitDirectory : chosen);
    if (directory->size() >= PATH_MAX) {
        setFailureReason(Failure::NameTooLong);
        return false;
    }
    return true;
}

bool unitPath(const char* name, std::string* path, bool* system) {
    if (!checkServiceName(name) || !unitDirectory(path, system)) return false;
    *path += '/';
    *path += name;
    *path += kUnitSuffix;
    return true;
}

// The unit's path, when the unit exists (NoSuchService when not).
bool existingUnit(const char* name, std::string* path, bool* system) {
    if (!unitPath(name, path, system)) return false;
    struct stat info;
    if (lstat(path->c_str(), &info) == 0) return true;
    if (errno == ENOENT) setFailureReason(Failure::NoSuchService);
    return false;
}

// Outside the double quotes that the command line puts around its texts
// (none of which holds one), systemd takes a '\'' for the start of a quoted
// word and a lone ';' for the end of the command: either would start the
// service with other arguments than were installed.
bool readsAsWritten(const char* command) {
    bool quoted = false;
    for (const char* p = command; *p != '\0'; ++p) {
        const bool wordStart = p == command || p[-1] == ' ';
        if (*p == '"') quoted = !quoted;
        if (!quoted && (*p == '\'' || (*p == ';' && wordStart && (p[1] == ' ' || p[1] == '\0')))) return false;
    }
    return !quoted;
}

// A text on a unit line: '%' starts a specifier, so it is doubled; where the
// line is a command, '$' starts a variable and '\' an escape, so they are
// doubled as well. A line break would end the line and start another one
// of the text's choosing: refused, as is any other control character, and
// elsewhere a last '\', which would continue the line with the next one.
bool appendUnitText(std::string* unit, const char* text, bool command) {
    size_t length = strlen(text);
    if ((!command && length > 0 && text[length - 1] == '\\') || (command && !readsAsWritten(text))) {
        setFailureReason(Failure::NotUnitText);
        return false;
    }
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            setFailureReason(Failure::NotUnitText);
            return false;
        }
        if (*p == '%' || (command && (*p == '$' || *p == '\\'))) *unit += static_cast<char>(*p);
        *unit += static_cast<char>(*p);
    }
    return true;
}

// A user or group name as the unit names it: a name systemd and the
// system's tools take alike.
bool isAccountName(const char* name, size_t length) {
    constexpr size_t kLongestAccountName = 32;
    if (length == 0 || length > kLongestAccountName || name[0] == '-' || name[0] == '.') return false;
    for (size_t i = 0; i < length; ++i)
        if (!isUnitNameCharacter(name[i]) || name[i] == ':') return false;
    return true;
}

// User= and, from "user:group", Group=.
bool appendAccount(std::string* unit, const char* account) {
    const char* colon = strchr(account, ':');
    const size_t user = colon != nullptr ? static_cast<size_t>(colon - account) : strlen(account);
    if (!isAccountName(account, user) || (colon != nullptr && !isAccountName(colon + 1, strlen(colon + 1)))) {
        setFailureReason(Failure::NotServiceAccount);
        return false;
    }
    unit->append("User=").append(account, user).append("\n");
    if (colon != nullptr) unit->append("Group=").append(colon + 1).append("\n");
    return true;
}

// The whole unit, checked, before anything is written.
bool buildUnit(const ServiceDefinition& service, std::string* unit) {
    *unit = "[Unit]\n";
    if (service.description[0] != '\0') {
        *unit += "Description=";
        if (!appendUnitText(unit, service.description, false)) return false;
        *unit += '\n';
    }
    std::string dependencies;
    for (const char* name = service.dependencies; *name != '\0'; name += strlen(name) + 1) {
        size_t length = strlen(name);
        if (!isUnitName(name, length)) {
            setFailureReason(Failure::NotServiceName);
            return false;
        }
        dependencies += dependencies.empty() ? "" : " ";
        dependencies += name;
        if (!hasUnitType(name, length)) dependencies += kUnitSuffix;
    }
    if (!dependencies.empty()) *unit += "After=" + dependencies + "\nRequires=" + dependencies + "\n";
    // KillMode=mixed: a stop signals the launcher alone, so that the cleanup
    // child it leaves behind may finish removing the unpacked archives.
    *unit += "\n[Service]\nType=notify\nExecStart=";
    if (!appendUnitText(unit, service.commandLine, true)) return false;
    *unit += "\nWorkingDirectory=";
    if (!appendUnitText(unit, service.workingDirectory, false)) return false;
    *unit += '\n';
    if (service.account[0] != '\0' && !appendAccount(unit, service.account)) return false;
    *unit += "KillMode=mixed\n";
    // The stop budget, in whole seconds: systemd's own kill comes only once
    // the launcher's forced stop has had its time.
    *unit += "TimeoutStopSec=" + std::to_string((uint64_t(service.stopBudgetMs) + 999) / 1000) + "\n";
    if (service.restartOnFailure)
        *unit += "Restart=on-failure\nRestartSec=" + std::to_string((uint64_t(service.restartDelayMs) + 999) / 1000) +
                 "\n";
    // Also for manual start, so that `systemctl enable` works later; only
    // automatic start enables it at once.
    *unit += "\n[Install]\nWantedBy=multi-user.target\n";
    return true;
}

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Written under a temporary name, then linked to its own: the unit appears
// whole or not at all, and an existing one is never replaced.
bool writeUnit(const std::string& path, const std::string& unit) {
    std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, unit) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && link(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    unlink(temporary.c_str());
    errno = error;
    return ok;
}

// systemctl with the given arguments; what it says goes to the launcher's
// own streams, where the operator reads it in systemctl's own words. True
// when it ended with status 0 within the bound; otherwise false with
// Failure::ManagerRefused (it could not be run, failed, or is still at work).
bool systemctl(const char* command, const char* unit, uint32_t boundMs = kSystemctlWaitMs) {
    const char* argv[] = {"systemctl", command, unit, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t child;
    int result = posix_spawnp(&child, "systemctl", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    for (uint32_t waited = 0; result == 0 && waited < boundMs; waited += kSystemctlPollMs) {
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR)) break;
        status = -1;
        sleepMilliseconds(kSystemctlPollMs);
    }
    if (result == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    setFailureReason(Failure::ManagerRefused);
    return false;
}

// ---- The run mode ----------------------------------------------------------

// The dispatcher's wake-up pipe: 'S' a stop signal, 'R' a handler was
// registered, 'D' the entry has returned. The signal handler writes to it,
// so its write end never blocks.
int wakePipe[2] = {-1, -1};
std::atomic<ServiceControlProcedure> controlProcedure{nullptr};
ServiceEntryProcedure entryProcedure = nullptr;
int notifySocket = -1;
sockaddr_un notifyAddress;
socklen_t notifyAddressLength = 0;
uint32_t lastNotifiedState = 0;  // written under the caller's status lock
char eventSourceToken;

void wake(char reason) {
    int saved = errno;
    ssize_t ignored = write(wakePipe[1], &reason, 1);
    (void)ignored;
    errno = saved;
}

void onStopSignal(int) { wake('S'); }

uint32_t entryThread(void*) {
    entryProcedure();
    wake('D');
    return 0;
}

// The socket that $NOTIFY_SOCKET names: a path, or '@' for an abstract name.
void openNotifySocket() {
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
    size_t length = strlen(name);
    if (length >= sizeof(notifyAddress.sun_path)) return;
    memset(&notifyAddress, 0, sizeof(notifyAddress));
    notifyAddress.sun_family = AF_UNIX;
    memcpy(notifyAddress.sun_path, name, length);
    if (name[0] == '@') notifyAddress.sun_path[0] = '\0';
    notifyAddressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    notifySocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

}  // namespace

bool checkServiceName(const char* name) {
    if (isUnitName(name, strlen(name))) return true;
    setFailureReason(Failure::NotServiceName);
    return false;
}

int queryServiceEntry(const char* name) {
    std::string path;
    bool system;
    if (!unitPath(name, &path, &system)) return -1;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) return 1;
    return errno == ENOENT ? 0 : -1;
}

bool installServiceEntry(const ServiceDefinition& service) {
    std::string path, unit;
    bool system;
    if (!unitPath(service.name, &path, &system) || !buildUnit(service, &unit) || !writeUnit(path, unit)) return false;
    if (!system) return true;
    std::string unitName = std::string(service.name) + kUnitSuffix;
    const bool reload = systemdRuns();
    if (reload && !systemctl("daemon-reload", nullptr)) {
        unlink(path.c_str());
        return false;
    }
    if (service.manualStart || systemctl("enable", unitName.c_str())) return true;
    // Not installed after all: the unit goes again, and a manager that had
    // loaded it forgets it.
    const int error = errno;
    unlink(path.c_str());
    if (reload) systemctl("daemon-reload", nullptr);
    errno = error;
    return false;
}

bool stopServiceEntry(const char* name, uint32_t boundMs) {
    std::string path;
    bool system;
    if (!existingUnit(name, &path, &system)) return false;
    if (!system || !systemdRuns()) return true;
    std::string unitName = std::string(name) + kUnitSuffix;
    return systemctl("stop", unitName.c_str(), boundMs);
}

bool removeServiceEntry(const char* name) {
    std::string path;
    bool system;
    if (!existingUnit(name, &path, &system)) return false;
    std::string unitName = std::string(name) + kUnitSuffix;
    if (system && !systemctl("disable", unitName.c_str())) return false;
    if (unlink(path.c_str()) != 0) return false;
    return !system || !systemdRuns() || systemctl("daemon-reload", nullptr);
}

bool startServiceDispatcher(const char*, ServiceEntryProcedure entry) {
    if (pipe2(wakePipe, O_CLOEXEC) != 0) return false;
    fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    openNotifySocket();
    unsetenv("NOTIFY_SOCKET");
    struct sigaction stop;
    memset(&stop, 0, sizeof(stop));
    stop.sa_handler = onStopSignal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    // A service has no terminal to lose: a hang-up must not end it, also
    // not while the VM is still being created.
    struct sigaction ignore = stop;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, nullptr);

    entryProcedure = entry;
    Thread* thread = startThread(entryThread, nullptr);
    if (thread == nullptr) return false;
    // The service runs until its entry returns: whether and when is the
    // application's and the service manager's decision, not a bound of ours.
    bool stopPending = false;
    for (;;) {
        // poll, which a signal always interrupts, before read, which
        // SA_RESTART would resume: a runtime that runs handlers only when a
        // call returns (ThreadSanitizer's) still gets to run ours.
        struct pollfd wait = {wakePipe[0], POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 && errno == EINTR) continue;
        char reason;
        ssize_t n = read(wakePipe[0], &reason, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || reason == 'D') break;
        if (reason == 'S') stopPending = true;
        ServiceControlProcedure handler = controlProcedure.load();
        if (stopPending && handler != nullptr) {
            stopPending = false;
            handler(kServiceControlStop);
        }
    }
    // The entry has returned (or, should the pipe fail, will return).
    waitForThread(thread, kWaitForever);
    releaseThread(thread);
    return true;
}

bool registerServiceControlHandler(const char*, ServiceControlProcedure handler) {
    controlProcedure = handler;
    wake('R');
    return true;
}

void setServiceStatus(const ServiceStatus& status, const char* text) {
    if (notifySocket < 0 || status.state == lastNotifiedState) return;
    lastNotifiedState = status.state;
    std::string message;  // start pending: the status text alone
    if (status.state == kServiceRunning) message = "READY=1";
    if (status.state == kServiceStopPending)
        message = "STOPPING=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t(status.waitHintMs) * 1000);
    if (text != nullptr) {
        message += message.empty() ? "STATUS=" : "\nSTATUS=";
        for (const char* p = text; *p != '\0'; ++p) message += *p == '\n' || *p == '\r' ? ' ' : *p;
    }
    sendto(notifySocket, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&notifyAddress),
           notifyAddressLength);
}

void* registerEventSource(const char*) { return &eventSourceToken; }

const char* serviceVmOption() { return "-Xrs"; }

}  // namespace platform

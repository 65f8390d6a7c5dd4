// Installing and removing the service: the command line the service manager
// runs, the dependency list, and the platform's entry (the Service Control
// Manager with its registry values, or a systemd unit).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "service/service.h"

namespace {

// The command line is built in a buffer of this size, terminator included.
constexpr size_t kCommandLineCapacity = 272;
// ServiceRestartDelay outside 0 to a day reads as its default.
constexpr int32_t kLongestRestartDelayS = 86400;
constexpr int32_t kDefaultRestartDelayS = 10;

// Between quotes, a '"' would end the argument early and a last '\' would
// escape the closing quote: either way the service would start with other
// arguments (another name, another start type) than were installed.
bool fitsBetweenQuotes(const char* text) {
    size_t length = std::strlen(text);
    if (std::strchr(text, '"') == nullptr && (length == 0 || text[length - 1] != '\\')) return true;
    reportError("Refused: \"%s\" holds a double quote or ends with a backslash, which would change the service's "
                "command line.",
                text);
    return false;
}

bool isOneWord(const char* text) {
    if (text[0] != '\0' && std::strpbrk(text, " \t\"") == nullptr) return true;
    reportError("Refused: the service switch \"%s\" must be one word without quotes.", text);
    return false;
}

// The folder the application runs in as a service: WorkingDirectory, which
// is relative to the executable's folder, or that folder itself. A heap text.
char* serviceWorkingDirectory(const char* executable) {
    const char* configured = Config.WorkingDirectory;
    TextBuffer folder{};
    if (!platform::isAbsolutePath(configured)) {
        char own[kPathCapacity];
        std::memcpy(own, executable, std::strlen(executable) + 1);
        cutAtLastSeparator(own);
        appendText(&folder, own);
        if (configured[0] != '\0') {
            const char separator[2] = {platform::pathSeparator(), '\0'};
            appendText(&folder, separator);
        }
    }
    appendText(&folder, configured);
    return folder.text != nullptr ? folder.text : duplicateText("");
}

}  // namespace

bool buildServiceCommandLine(char* line, size_t capacity, const char* executablePath) {
    const LauncherConfig& c = Config;
    if (!fitsBetweenQuotes(executablePath) || !isOneWord(c.ServiceSwitch)) return false;
    int length;
    if (c.ServiceCommandLineOverride) {
        if (!fitsBetweenQuotes(c.ServiceName) || !fitsBetweenQuotes(c.ServiceDescription)) return false;
        length = std::snprintf(line, capacity, "\"%s\" %s \"%s\" \"%s\" %d", executablePath, c.ServiceSwitch,
                               c.ServiceName, c.ServiceDescription, c.ServiceManualStart ? 0 : 1);
    } else {
        length = std::snprintf(line, capacity, "\"%s\" %s", executablePath, c.ServiceSwitch);
    }
    if (length >= 0 && static_cast<size_t>(length) < capacity) return true;
    reportError("Refused: the service's command line would be longer than %d characters.",
                static_cast<int>(capacity) - 1);
    return false;
}

int queryServiceInstalled(const char* name) {
    if (!platform::checkServiceName(name)) return -1;
    return platform::queryServiceEntry(name);
}

int installService(const char* name, const char* description) {
    char executable[kPathCapacity];
    if (platform::executablePath(executable, sizeof(executable)) == 0) {
        reportLastError();
        return -1;
    }
    char commandLine[kCommandLineCapacity];
    if (!buildServiceCommandLine(commandLine, sizeof(commandLine), executable)) return -1;
    trace("service: \"%s\", %s start, dependencies \"%s\", command line %s", name,
          Config.ServiceManualStart ? "manual" : "automatic", Config.ServiceDependencies, commandLine);

    // Every ';' becomes a zero byte, and the list ends with two: a leading
    // ';' gives an empty list, two in a row end it there.
    size_t length = std::strlen(Config.ServiceDependencies);
    char* dependencies = static_cast<char*>(std::calloc(length + 2, 1));
    if (dependencies == nullptr) std::abort();
    for (size_t i = 0; i < length; ++i)
        dependencies[i] = Config.ServiceDependencies[i] == ';' ? '\0' : Config.ServiceDependencies[i];

    const int32_t delay = Config.ServiceRestartDelay;
    const bool delayValid = delay >= 0 && delay <= kLongestRestartDelayS;
    char* workingDirectory = serviceWorkingDirectory(executable);
    const platform::ServiceDefinition service = {
        name, Config.ServiceDisplayName, description != nullptr ? description : "", executable, commandLine,
        dependencies, Config.ServiceAccount, workingDirectory, stopWaitHintMs(),
        static_cast<uint32_t>(delayValid ? delay : kDefaultRestartDelayS) * 1000, Config.ServiceRestart == 1,
        Config.ServiceManualStart != 0, Config.ServiceDelayedStart != 0, Config.ServiceInteractive != 0};
    trace("service: account \"%s\", display name \"%s\", restart after a failure %s (%u ms), stop budget %u ms, "
          "working directory \"%s\"%s",
          service.account, service.displayName, service.restartOnFailure ? "on" : "off",
          static_cast<unsigned>(service.restartDelayMs), static_cast<unsigned>(service.stopBudgetMs), workingDirectory,
          service.delayedStart ? ", delayed start" : "");
    bool installed = platform::installServiceEntry(service);
    if (!installed) reportLastError();
    std::free(workingDirectory);
    std::free(dependencies);
    return installed ? 0 : -1;
}

int uninstallService(const char* name) {
    // A running service keeps running without its entry, and its name could
    // not be installed again: it stops first, within its own stop timeout
    // and the time to report it.
    trace("service: \"%s\": stop, then removal", name);
    if (platform::stopServiceEntry(name, stopWaitHintMs()) && platform::removeServiceEntry(name)) return 0;
    reportLastError();
    return -1;
}

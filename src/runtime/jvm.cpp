// Bringing the chosen Java runtime into the process: the platform check, the
// service console, the early working directory, the search, loading the
// runtime library from its own directory, and its two Invocation API entry
// points. startJavaVm takes over from there.
#include <cstring>

#include "core/launcher_config.h"
#include "java/invoke.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"
#include "runtime/jvm.h"

namespace {

// The chosen library as an absolute path, in the platform's separators.
// False when it does not fit the path limit.
bool absoluteRuntimePath(const char* chosen, const char* currentDir, char* out, size_t capacity) {
    bool taken = platform::isAbsolutePath(chosen) || std::strlen(chosen) < 2;
    if (taken) {
        size_t n = std::strlen(chosen);
        if (n >= capacity) return false;
        std::memcpy(out, chosen, n + 1);
    } else if (!joinPath(out, capacity, currentDir, chosen)) {
        return false;
    }
    for (char* p = out; *p != '\0'; ++p)
        if (platform::isPathSeparator(*p)) *p = platform::pathSeparator();
    return true;
}

// The library's directory two levels up ("...\jre\bin\client\jvm.dll" gives
// "...\jre\bin\client\jvm.dll\..\..\", i.e. jre\bin), where a runtime keeps
// the libraries its VM library depends on.
bool runtimeDirectory(const char* library, char* out, size_t capacity) {
    const char sep = platform::pathSeparator();
    const char up[] = {sep, '.', '.', sep, '.', '.', sep, '\0'};
    size_t n = std::strlen(library);
    if (n + sizeof(up) - 1 >= capacity) return false;
    std::memcpy(out, library, n);
    std::memcpy(out + n, up, sizeof(up));
    return true;
}

// The chosen runtime's home and version, which the class-data cache needs.
void noteRuntimeRelease(const char* library) {
    char home[kPathCapacity];
    char version[64];
    const bool found = runtimeRelease(library, home, sizeof(home), version, sizeof(version));
    trace("runtime: release file of \"%s\": %s%s%s", library, found ? "JAVA_VERSION \"" : "none with a version",
          found ? version : "", found ? "\"" : "");
    if (!found) return;
    replaceText(&Config.RuntimeHome, duplicateText(home));
    replaceText(&Config.RuntimeVersion, duplicateText(version));
    Config.RuntimeMajor = javaMajorVersion(version);
}

}  // namespace

bool createJavaVm(VmUse use) {
    if (!platform::queryOsVersion()) {
        reportErrorWithReason("Internal error RC0000040");
        return false;
    }

    if (Config.ServiceMode) {
        // The VM prints through the output hook, and so into the capture,
        // while it is being created: the capture's lock must exist by then.
        platform::initLock(&Config.OutputLock);
        attachServiceConsole();
    }

    if (Config.EarlyWorkingDirectory && !applyWorkingDirectory(true)) return false;

    if (!findJavaRuntime()) return false;
    const char* chosen = Config.JvmPath;

    char remembered[kDirectoryCapacity];
    if (platform::currentDirectory(remembered, sizeof(remembered)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_DIR").text);
        return false;
    }

    // The library is loaded by its absolute path: once its own directory is
    // current, a relative path would name a different file (or, on Windows,
    // send the loader through its search path).
    char library[kPathCapacity];
    char directory[kPathCapacity];
    if (!absoluteRuntimePath(chosen, remembered, library, sizeof(library)) ||
        !runtimeDirectory(library, directory, sizeof(directory))) {
        reportError("%s", formatMessage(MsgJvmLoad, chosen).text);
        return false;
    }

    platform::setCurrentDirectory(directory);  // a runtime that loads without it is fine
    platform::setLibraryDirectory(directory);
    Config.JvmLibrary = platform::loadLibrary(library);
    trace("vm: load \"%s\": %s", library, Config.JvmLibrary != nullptr ? "done" : "failed");
    if (Config.JvmLibrary == nullptr) {
        reportError("%s", formatMessage(MsgJvmLoad, chosen).text);
        return false;
    }
    platform::loadAuxiliaryRuntimeLibraries();
    if (Config.ClassDataCache) noteRuntimeRelease(library);
    platform::setCurrentDirectory(remembered);
    platform::setLibraryDirectory(nullptr);

    Config.JvmCreateEntry = platform::findSymbol(Config.JvmLibrary, "JNI_CreateJavaVM");
    Config.JvmDefaultArgsEntry = platform::findSymbol(Config.JvmLibrary, "JNI_GetDefaultJavaVMInitArgs");
    if (Config.JvmCreateEntry == nullptr || Config.JvmDefaultArgsEntry == nullptr) {
        reportError("%s", formatMessage(MsgJniInterfaces, chosen).text);
        return false;
    }

    return startJavaVm(use);
}

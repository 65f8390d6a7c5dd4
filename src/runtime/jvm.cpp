// Bringing the chosen Java runtime into the process: the platform check, the
// service console, the early working directory, the search, loading the
// runtime library from its own directory, and its two Invocation API entry
// points. startJavaVm takes over from there. Also the dump of the class-data
// cache's archive, in a process of its own.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jni.h>

#include "core/class_data_writer.h"
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
    replaceText(&Config.RuntimeLibrary, duplicateText(library));
    replaceText(&Config.RuntimeHome, duplicateText(home));
    replaceText(&Config.RuntimeVersion, duplicateText(version));
    Config.RuntimeMajor = javaMajorVersion(version);
}

// Loads the runtime library (an absolute path) with its runtime directory
// current and the DLL directory, where it finds the libraries it depends
// on; then returnTo is current again. nullptr when it cannot be loaded.
void* loadRuntimeLibrary(const char* library, const char* returnTo) {
    char directory[kPathCapacity];
    if (!runtimeDirectory(library, directory, sizeof(directory))) return nullptr;
    platform::setCurrentDirectory(directory);  // a runtime that loads without it is fine
    platform::setLibraryDirectory(directory);
    void* loaded = platform::loadLibrary(library);
    trace("vm: load \"%s\": %s", library, loaded != nullptr ? "done" : "failed");
    if (loaded != nullptr) platform::loadAuxiliaryRuntimeLibraries();
    platform::setCurrentDirectory(returnTo);
    platform::setLibraryDirectory(nullptr);
    return loaded;
}

// The dump's runtime messages, line by line into the trace: the first few,
// then how many more there were (Java 25 warns of every constant it cannot
// link ahead of time).
constexpr int kTracedDumpLines = 20;
platform::Lock DumpOutputLock;
char DumpLine[1024];
size_t DumpLineLength = 0;
int DumpLines = 0;

extern "C" jint JNICALL dumpOutputHook(FILE*, const char* format, va_list args) {
    char text[4096];
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    if (n < 0) return n;
    platform::LockGuard guard(&DumpOutputLock);
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\n') {
            if (DumpLineLength < sizeof(DumpLine) - 1) DumpLine[DumpLineLength++] = *p;
            continue;
        }
        DumpLine[wholeCharacterLength(DumpLine, DumpLineLength)] = '\0';
        DumpLineLength = 0;
        if (++DumpLines <= kTracedDumpLines) trace("class data: dump: %s", DumpLine);
        if (DumpLines == kTracedDumpLines + 1) trace("class data: dump: more lines, not traced");
    }
    return n;
}

}  // namespace

int runClassDataDump(const char* jobName) {
    ClassDataJob job;
    if (!readClassDataJob(jobName, &job)) return 1;
    void* library = loadRuntimeLibrary(job.library, job.directory);
    using CreateEntry = jint(JNICALL*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<CreateEntry>(library != nullptr ? platform::findSymbol(library, "JNI_CreateJavaVM")
                                                                   : nullptr);
    char here[kPathCapacity];
    if (create == nullptr || platform::currentDirectory(here, sizeof(here)) == 0 ||
        std::strcmp(here, job.directory) != 0) {
        trace("class data: dump: no runtime \"%s\", or no folder \"%s\"", job.library, job.directory);
        return 1;
    }
    auto* options = static_cast<JavaVMOption*>(std::calloc(size_t(job.count) + 5, sizeof(JavaVMOption)));
    if (options == nullptr) std::abort();
    int32_t count = 0;
    for (; count < job.count; ++count) options[count].optionString = const_cast<char*>(job.options[count]);
    options[count++].optionString = const_cast<char*>("-Xshare:dump");
    TextBuffer list{}, archive{};
    appendText(&list, "-XX:SharedClassListFile=");
    appendText(&list, job.list);
    appendText(&archive, "-XX:SharedArchiveFile=");
    appendText(&archive, job.temporary);
    options[count++].optionString = list.text;
    options[count++].optionString = archive.text;
    // Java 24 and later keep the classes linked too, which later starts
    // then skip.
    if (job.link) options[count++].optionString = const_cast<char*>("-XX:+AOTClassLinking");
    if (traceOn()) {
        platform::initLock(&DumpOutputLock);
        options[count].optionString = const_cast<char*>("vfprintf");
        options[count++].extraInfo = reinterpret_cast<void*>(&dumpOutputHook);
    }
    for (int32_t i = 0; traceOn() && i < count; ++i) trace("vm: option %d \"%s\"", int(i), options[i].optionString);
    JavaVMInitArgs initArgs{JNI_VERSION_1_2, count, options, JNI_FALSE};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    // Java 17 ends the process in here once the archive is written (status
    // 0), and every version when the dump fails (status 1); Java 25 returns.
    const jint result = create(&vm, reinterpret_cast<void**>(&env), &initArgs);
    trace("class data: dump: JNI_CreateJavaVM %d", int(result));
    if (result != JNI_OK) return 1;
    vm->DestroyJavaVM();
    return 0;
}

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
    if (absoluteRuntimePath(chosen, remembered, library, sizeof(library)))
        Config.JvmLibrary = loadRuntimeLibrary(library, remembered);
    if (Config.JvmLibrary == nullptr) {
        reportError("%s", formatMessage(MsgJvmLoad, chosen).text);
        return false;
    }
    if (Config.ClassDataCache) noteRuntimeRelease(library);

    Config.JvmCreateEntry = platform::findSymbol(Config.JvmLibrary, "JNI_CreateJavaVM");
    Config.JvmDefaultArgsEntry = platform::findSymbol(Config.JvmLibrary, "JNI_GetDefaultJavaVMInitArgs");
    if (Config.JvmCreateEntry == nullptr || Config.JvmDefaultArgsEntry == nullptr) {
        reportError("%s", formatMessage(MsgJniInterfaces, chosen).text);
        return false;
    }

    return startJavaVm(use);
}

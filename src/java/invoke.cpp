// Running the application: system properties, the String[] of arguments and
// the static main method of MainClass, called over JNI; and the end of the
// VM once the application is done.
#include "java/invoke.h"

#include <cstdlib>
#include <cstring>

#include "core/archives.h"
#include "core/class_data_cache.h"
#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/text_buffer.h"
#include "java/jni_scope.h"
#include "java/jni_text.h"
#include "java/streams.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

constexpr const char* kMainMethodText = "main(java/lang/String[])";

bool isEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Splits an option text and expands every element on its own; the vector
// lives until the process ends. False when an expansion was refused (and
// reported).
bool splitAndExpand(const char* text, ArgumentVector* vector) {
    *vector = splitArguments(text);
    for (int32_t i = 0; i < vector->count; ++i) {
        char* expanded = expandPlaceholders(vector->items[i]);
        if (expanded == nullptr) return false;
        std::free(vector->items[i]);
        vector->items[i] = expanded;
    }
    return true;
}

// One property of the fixed set. `required` properties fail the invocation;
// the others leave the report of setSystemProperty and go on.
bool setProperty(JNIEnv* env, const char* name, const char* value, bool required) {
    return setSystemProperty(env, name, value) || !required;
}

bool setSystemProperties(JNIEnv* env) {
    char buffer[kDirectoryCapacity];
    if (platform::currentDirectory(buffer, sizeof(buffer)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_DIR").text);
        return false;
    }
    if (!setProperty(env, "user.dir", buffer, true)) return false;

    if (platform::executablePath(buffer, sizeof(buffer)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_EXE").text);
        return false;
    }
    if (!setProperty(env, "vantrel.exe.path", buffer, true)) return false;

    if (platform::specialFolderAvailable()) {
        static const struct {
            int csidl;
            const char* property;
        } folders[] = {{26, "vantrel.csidl.appdata"}, {28, "vantrel.csidl.local.appdata"}, {5, "vantrel.csidl.personal"}};
        for (const auto& folder : folders) {
            // A folder the system cannot name is left out; the others still come.
            if (!platform::specialFolderPath(folder.csidl, buffer, sizeof(buffer))) continue;
            if (!setProperty(env, folder.property, buffer, true)) return false;
        }
    }

    // Absolute: the application may have made another folder current.
    char extracted[2 * kPathCapacity];
    if (extractionFolderPath(extracted, sizeof(extracted))) setProperty(env, "vantrel.extract.path", extracted, false);
    setProperty(env, "vantrel.appini.showconsole", Config.ShowConsole ? "true" : "false", false);

    if (Config.ServiceMode) {
        if (!setProperty(env, "vantrel.service.name", Config.ServiceName, true)) return false;
        if (!setProperty(env, "vantrel.service.description", Config.ServiceDescription, true)) return false;
        if (!setProperty(env, "vantrel.service.starttype", Config.ServiceManualStart ? "0" : "1", true)) return false;
    }
    return true;
}

// Message 9 for a main class that did not load. The runtime's own words go
// with it unless they only repeat that the class is missing: a class built
// for a newer Java says which class file version it has and which this
// runtime takes, a missing dependency names itself.
void reportClassNotLoaded(JNIEnv* env) {
    LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
    checkJavaException(env);
    char* text = throwableText(env, thrown.ref);
    TextBuffer missing{};
    appendText(&missing, "java.lang.NoClassDefFoundError: ");
    appendText(&missing, Config.MainClass);
    const MessageBuffer message = formatMessage(MsgLocateClass, Config.MainClass);
    if (text == nullptr || text[0] == '\0' || std::strcmp(text, missing.text) == 0)
        reportWithCapture("%s", message.text);
    else
        reportWithCapture("%s (%s)", message.text, text);
    freeTextBuffer(&missing);
    std::free(text);
}

// Steps 4 to 12 of an invocation, on the thread's own interface pointer.
// `given` says where the caller's arguments came from, for the trace.
bool runMain(JNIEnv* env, int32_t count, char** arguments, const char* given, MainGate gate) {
    if (!setSystemProperties(env)) return false;

    trace("main: class \"%s\"", Config.MainClass);
    LocalRef<jclass> mainClass(env, env->FindClass(Config.MainClass));
    if (env->ExceptionCheck() || mainClass.ref == nullptr) {
        reportClassNotLoaded(env);
        return false;
    }
    jmethodID mainMethod = env->GetStaticMethodID(mainClass.ref, "main", "([Ljava/lang/String;)V");
    if (checkJavaException(env) || mainMethod == nullptr) {
        reportWithCapture("%s", formatMessage(MsgLocateMethod, kMainMethodText).text);
        return false;
    }

    ArgumentVector fixed{0, nullptr};
    if (!isEmpty(Config.StaticOptions) && !splitAndExpand(Config.StaticOptions, &fixed)) return false;
    // The caller's arguments are the user's own text and are passed as they
    // are; AppOptions only stands in for an empty command line.
    ArgumentVector call{count, arguments};
    const bool appOptions = count == 0 && !isEmpty(Config.AppOptions);
    if (appOptions && !splitAndExpand(Config.AppOptions, &call)) return false;

    const int64_t total = int64_t(fixed.count) + call.count;
    for (int64_t i = 0; traceOn() && i < total; ++i)
        trace("main: argument %lld \"%s\" (%s)", static_cast<long long>(i),
              i < fixed.count ? fixed.items[i] : call.items[i - fixed.count],
              i < fixed.count ? "StaticOptions" : appOptions ? "AppOptions" : given);
    LocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
    LocalRef<jobjectArray> array(env, total <= INT32_MAX
                                          ? env->NewObjectArray(static_cast<jsize>(total), stringClass.ref, nullptr)
                                          : nullptr);
    if (checkJavaException(env) || array.ref == nullptr) {
        reportError("%s", formatMessage(MsgInstantiate, "java/lang/String[]").text);
        return false;
    }
    for (int64_t i = 0; i < total; ++i) {
        const char* text = i < fixed.count ? fixed.items[i] : call.items[i - fixed.count];
        LocalRef<jstring> value(env, newJavaString(env, text));
        if (checkJavaException(env) || value.ref == nullptr) {
            reportError("%s", formatMessage(MsgInstantiate, "java/lang/String").text);
            return false;
        }
        env->SetObjectArrayElement(array.ref, static_cast<jsize>(i), value.ref);
        if (checkJavaException(env)) {
            reportError("%s", formatMessage(MsgAssignArgument, text).text);
            return false;
        }
    }

    if (gate != nullptr && !gate()) {
        trace("main: not called");
    } else {
        env->CallStaticVoidMethod(mainClass.ref, mainMethod, array.ref);
        if (traceOn()) trace("main: %s", env->ExceptionCheck() ? "exception" : "returned");
        if (checkJavaException(env)) {
            reportWithCapture("%s", formatMessage(MsgInvokeMethod, kMainMethodText).text);
            return false;
        }
    }

    // The child waits for this process to end before it removes the files,
    // so it may start while the application's other threads still run.
    if (Config.ExtractedFileCount > 0 && Config.RemoveExtractedFiles) spawnCleanupChild();
    return true;
}

}  // namespace

bool invokeMainClass(int32_t count, char** arguments, bool secondary, MainGate gate) {
    if (secondary) {
        AttachedThread attached(Config.JavaVm, "Vantrel thread");
        if (attached.env == nullptr) {
            reportError("%s", formatMessage(MsgAttachThread).text);
            return false;
        }
        return runMain(attached.env, count, arguments, Config.ServiceMode ? "ServiceStopArguments" : "forwarded", gate);
    }

    // The working directory is already current: the VM was created in it.
    JNIEnv* env = Config.MainJniEnv;
    if (Config.ServiceMode) platform::installLogoffFilter();
    if (!setUpStandardStreams()) return false;
    return runMain(env, count, arguments, Config.ServiceMode ? "ServiceAppOptions" : "command line", gate);
}

void shutdownJavaVm() {
    Config.JavaVm->DetachCurrentThread();
    // Returns once the application's last non-daemon thread has ended.
    Config.JavaVm->DestroyJavaVM();
    finishClassDataCache();
    // A service's stop may reach for the VM while the application ends by
    // itself: the runtime library stays loaded until the process ends.
    if (!Config.ServiceMode) platform::freeLibrary(Config.JvmLibrary);
}

bool applyWorkingDirectory(bool beforeVm) {
    const char* directory = Config.WorkingDirectory;
    if (!beforeVm && Config.KeepStartDirectory) {
        // Start-up leaves it empty only when it was too long for its buffer.
        if (Config.StartDirectory[0] == '\0') {
            platform::setFailureReason(platform::Failure::NameTooLong);
            reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_DIR").text);
            return false;
        }
        directory = Config.StartDirectory;
    }
    // No working directory configured: the current one stays, and that is fine.
    if (directory == nullptr || directory[0] == '\0') {
        trace("working directory: unchanged");
        return true;
    }
    trace("working directory: \"%s\"%s", directory, beforeVm ? " (early)" : "");
    if (platform::setCurrentDirectory(directory)) return true;
    reportErrorWithReason("%s", formatMessage(MsgFileAccess, directory).text);
    return false;
}

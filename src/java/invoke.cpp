#include "java/invoke.h"

#include "core/config.h"
#include "platform/platform.h"
#include "report/report.h"

bool invokeMainClass(int32_t, char**, bool) {
    reportError("This launcher build cannot run the main class yet.");
    return false;
}

void shutdownJavaVm() {}

bool setSystemProperty(JNIEnv*, const char*, const char*) { return false; }

jstring newJavaString(JNIEnv*, const char*) { return nullptr; }

bool checkJavaException(JNIEnv*) { return false; }

bool applyWorkingDirectory(bool beforeVm) {
    const char* directory = nullptr;
    if (!beforeVm && Config.KeepStartDirectory)
        directory = Config.StartDirectory;
    else
        directory = Config.WorkingDirectory;
    // No working directory configured: the current one stays, and that is fine.
    if (directory == nullptr || directory[0] == '\0') return true;
    if (platform::setCurrentDirectory(directory)) return true;
    reportErrorWithReason("%s", formatMessage(MsgFileAccess, directory).text);
    return false;
}

#include "java/invoke.h"

#include "report/report.h"

bool invokeMainClass(int32_t, char**, bool) {
    reportError("This launcher build cannot run the main class yet.");
    return false;
}

void shutdownJavaVm() {}

bool setSystemProperty(JNIEnv*, const char*, const char*) { return false; }

jstring newJavaString(JNIEnv*, const char*) { return nullptr; }

bool checkJavaException(JNIEnv*) { return false; }

bool applyWorkingDirectory(bool) { return false; }

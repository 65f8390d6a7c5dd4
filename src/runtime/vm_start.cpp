#include "runtime/jvm.h"

#include "report/report.h"

bool startJavaVm() {
    reportError("This launcher build cannot start a Java virtual machine yet.");
    return false;
}

bool isExistingDirectory(const char*) { return false; }

bool appendArchivesInDirectory(TextBuffer*, const char*) { return false; }

#include "runtime/jvm.h"

#include "report/report.h"

bool findJavaRuntime() {
    reportError("This launcher build cannot search for a Java runtime yet.");
    return false;
}

bool createJavaVm() {
    reportError("This launcher build cannot create a Java virtual machine yet.");
    return false;
}

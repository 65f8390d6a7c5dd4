#include "runtime/jvm.h"

#include "report/report.h"

bool createJavaVm() {
    reportError("This launcher build cannot create a Java virtual machine yet.");
    return false;
}

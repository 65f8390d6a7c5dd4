#include "service/service.h"

#include "platform/platform.h"
#include "report/report.h"

int queryServiceInstalled(const char*) { return 0; }

int installService(const char*, const char*) {
    reportError("This launcher build cannot install a service yet.");
    return -1;
}

int uninstallService(const char*) {
    reportError("This launcher build cannot remove a service yet.");
    return -1;
}

bool runServiceDispatcher() {
    reportError("This launcher build cannot run as a service yet.");
    return true;  // reported here; no second report from the caller
}

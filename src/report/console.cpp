#include "platform/platform.h"
#include "report/report.h"

// Both are thin: what a console window is, and whether a service has one,
// is entirely the platform's business.
void hideConsoleWindow() { platform::hideConsoleWindow(); }

void attachServiceConsole() { platform::attachServiceConsole(); }

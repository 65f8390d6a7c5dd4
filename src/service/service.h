// The Windows service: installation, removal and the service run mode.
#pragma once

#include <cstddef>

// 1 = installed, 0 = not installed, -1 = no answer (last error set; a name
// that cannot name a service gets no answer).
int queryServiceInstalled(const char* name);
// 0 on success; otherwise the failure has been reported.
int installService(const char* name, const char* description);
// Uninstall stops a running service first (at most stopWaitHintMs()) and
// removes nothing when it cannot.
int uninstallService(const char* name);
// Enters the service dispatcher with serviceMain; returns once the service
// has stopped, with the process's exit status: 0 after a clean stop, the
// application's own status, or -1 for a failure (the dispatcher could not be
// reached, reported as "Internal error RC000003"; the start failed; the stop
// was forced).
int runServiceDispatcher();

// The command line that the service manager runs, in one of the two forms
// that ServiceCommandLineOverride chooses, built from the settings. False
// (reported) when a text would move the arguments' boundaries (a double
// quote, or a last backslash before a closing quote, or a switch that is not
// one word) or when the line does not fit in capacity - 1 characters: the
// line is refused, never cut.
bool buildServiceCommandLine(char* line, size_t capacity, const char* executablePath);

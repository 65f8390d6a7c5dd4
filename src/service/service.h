// The Windows service: installation, removal and the service run mode.
#pragma once

// 1 = installed, 0 = not installed, -1 = no answer (last error set).
int queryServiceInstalled(const char* name);
// 0 on success; otherwise the failure has been reported.
int installService(const char* name, const char* description);
int uninstallService(const char* name);
// Enters the service dispatcher with serviceMain; returns once the service
// has stopped. False when the dispatcher could not be reached.
bool runServiceDispatcher();

// Restarting Pendra after its settings changed, so that it reads them: through the service
// control manager on Windows NT, or by replacing the running tray program elsewhere.
#pragma once

#include <windows.h>

// True on the Windows NT platform; set by the sheet from GetVersionExA.
extern bool isWindowsNT;

// Stops Pendra (registering it first where it is not), waits for it to stop, starts it.
// Failures are shown, not returned.
void RestartService(const char* serviceName);
// Registers Pendra as an automatic service of the local system; the new service's handle, or
// none. The caller closes it.
SC_HANDLE InstallService();

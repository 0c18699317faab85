// Restarting Pendra after its settings changed, so that it reads them: through the service
// control manager on Windows NT, or by replacing the running tray program elsewhere. Failures
// are returned; the caller tells the user.
#pragma once

#include "desktop/admin/SyncSettings.h"

#include <windows.h>

#include <optional>
#include <string>

// True on the Windows NT platform; set by the sheet from GetVersionExA.
extern bool isWindowsNT;

// Stops Pendra (registering it first where it is not), waits for it to stop, starts it.
std::optional<ServiceFailure> RestartService(const char* serviceName);

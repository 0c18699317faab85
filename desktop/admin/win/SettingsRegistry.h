// Klemora's settings store on Windows: the registry key of Pendra and the autostart entry. What
// went wrong is handed to the caller's dialogue.
#pragma once

#include "desktop/admin/SyncSettings.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Fills syncSettings from the registry; silent about anything missing.
void LoadSettings();
// Validates and writes syncSettings, then restarts Pendra; see saveSettings.
bool SaveSettings(SettingsDialogue& user);
// Sets (enable) or deletes the value under HKEY_LOCAL_MACHINE\subkey; the registry's result.
LONG SetAutostartEntry(const char* subkey, const char* valueName, const std::string& command,
                       DWORD type, bool enable);
// The folder of this program, ending in a backslash.
std::string programFolder();
// Where Pendra lies: beside this program.
std::string pendraPath();

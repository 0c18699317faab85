// Klemora's settings store on Windows: the registry key of Pendra, the autostart entry and the
// boxes that report what went wrong.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Fills syncSettings from the registry; silent about anything missing.
void LoadSettings();
// Validates and writes syncSettings, then restarts Pendra; see saveSettings.
bool SaveSettings();
// Sets (enable) or deletes the value under HKEY_LOCAL_MACHINE\subkey; the registry's result.
LONG SetAutostartEntry(const char* subkey, const char* valueName, const std::string& command,
                       DWORD type, bool enable);
// The caption line, the system's text for the error, in a box titled "Horvane Error".
void ShowSystemError(HWND owner, const std::string& caption, std::uint32_t error);

// The owner of Klemora's boxes: the sheet, so that it waits while a box is open.
HWND ownerWindow();

// The folder of this program, ending in a backslash.
std::string programFolder();
// Where Pendra lies: beside this program.
std::string pendraPath();

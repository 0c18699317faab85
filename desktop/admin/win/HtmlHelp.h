// The HTML help control, loaded at the first help request; after a failure it is not looked
// for again.
#pragma once

#include <windows.h>

// The help window, or none (also when the control is missing).
HWND HtmlHelpA(HWND caller, const char* file, UINT command, DWORD_PTR data);
// Shows a help topic: from Klemora.chm, or else the same page as a single file.
void showHelpTopic(DWORD context);

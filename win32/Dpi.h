// The dots per inch that a window is shown at, and pixel lengths made for 96 DPI at another.
#pragma once

#include <windows.h>

// The window's DPI: GetDpiForWindow where the system has it (Windows 10, version 1607), looked
// up at run time so that the program still loads on Windows Vista; else the screen's.
UINT windowDpi(HWND window);

// A length in pixels at 96 DPI, at that DPI, rounded.
int forDpi(int pixelsAt96, UINT dpi);

// The dots per inch that a window is shown at, and pixel lengths made for 96 DPI at another.
#pragma once

#include "win32/Gdi.h"

#include <windows.h>

// The window's DPI: GetDpiForWindow where the system has it (Windows 10, version 1607), looked
// up at run time so that the program still loads on Windows Vista; else the screen's.
UINT windowDpi(HWND window);

// A length in pixels at 96 DPI, at that DPI, rounded.
int forDpi(int pixelsAt96, UINT dpi);

// Where per-monitor awareness is in force (Windows 10, version 1703), a change of DPI makes the
// dialog manager send every control the dialog's font at the new DPI. A control that the program
// gives a font of its own keeps it: the program makes that font again for the new DPI.
void keepOwnFont(HWND control);

// Gives the control an Arial font of that height at 96 DPI, made for the DPI and kept in `kept`
// (the font the control had goes once it has the new one), and keeps it there as above.
void giveArialFont(HWND control, FontHandle& kept, int heightAt96, UINT dpi);

// The whole text of a window of this process.
#pragma once

#include <windows.h>

#include <string>

std::string windowText(HWND window);

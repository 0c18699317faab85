// The full path of a loaded module (this program when none is named), however long it is.
#pragma once

#include <windows.h>

#include <string>

// Empty when the module is not loaded.
std::string modulePath(HMODULE module = nullptr);

// The text that the system (or a module's message table) has for a message code.
#pragma once

#include <windows.h>

#include <string>

// As FormatMessageA gives it, inserts left as they stand, line end included; empty when there
// is none. The caller's last error stays as it was.
std::string systemMessage(DWORD code, HMODULE module = nullptr,
                          DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));

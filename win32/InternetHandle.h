// An open WinINet handle (a session, a connection or a request), closed at scope exit.
#pragma once

#include "win32/Guards.h"

#include <wininet.h>

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static HINTERNET empty() { return nullptr; }
    static bool isValid(HINTERNET handle) { return handle != nullptr; }
    static void close(HINTERNET handle) { InternetCloseHandle(handle); }
};

using InternetHandle = ScopedHandle<InternetHandleTraits>;

#include "win32/ModulePath.h"

std::string modulePath(HMODULE module) {
    // GetModuleFileNameA cuts a path that does not fit and says so only by filling the buffer.
    for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
        std::string path(capacity, '\0');
        const DWORD length = GetModuleFileNameA(module, path.data(), capacity);
        if (length == 0) {
            return {};
        }
        if (length < capacity) {
            path.resize(length);
            return path;
        }
    }
    return {};
}

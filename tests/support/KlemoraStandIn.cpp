// Stands in for Klemora.exe when Pendra's Setup command starts it: records the working
// directory it was started in and ends. The record goes to the file named by
// KLEMORA_STANDIN_LOG, or to klemora-started.txt in that working directory; one line per start.
#include "service/host/WinGuards.h"

#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char directory[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory) {
        return 1;
    }
    char logPath[MAX_PATH] = {};
    const DWORD named = GetEnvironmentVariableA("KLEMORA_STANDIN_LOG", logPath, sizeof logPath);
    StdioFile log;
    log.open(named != 0 && named < sizeof logPath ? logPath : "klemora-started.txt", "ab");
    if (log.get() == nullptr) {
        return 1;
    }
    std::fprintf(log.get(), "%s\r\n", directory);
    return 0;
}

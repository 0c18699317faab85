// Stands in for Klemora.exe when Pendra's Setup command starts it: records the working
// directory it was started in and ends. The record goes to the file named by
// KLEMORA_STANDIN_LOG, or to klemora-started.txt in that working directory; one line per start.
// Run with the first argument --record-command FILE, it stands in for the program that the shell
// opens a link or page with instead: it appends the rest of its command line to FILE.
#include "win32/Guards.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const char* const option = "--record-command ";
    if (std::strncmp(commandLine, option, std::strlen(option)) == 0) {
        // The file name is the next word; everything after it is what was opened.
        const char* file = commandLine + std::strlen(option);
        const char* end = std::strchr(file, ' ');
        if (end == nullptr) {
            return 1;
        }
        const std::string path(file, end);
        StdioFile record;
        record.open(path.c_str(), "ab");
        if (record.get() == nullptr) {
            return 1;
        }
        std::fprintf(record.get(), "%s\r\n", end + 1);
        return 0;
    }
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

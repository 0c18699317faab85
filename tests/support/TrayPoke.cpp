// Pokes the window of a running tray-mode Pendra from another process, the way the shell, the
// user and Klemora reach it. Usage: tray-poke [--desktop NAME] COMMAND
//   exists            exit 0 when the window is there, 1 when not
//   destroy [N]       SendMessageA WM_DESTROY, N times (what Klemora does to stop Pendra)
//   post-destroy [N]  PostMessageA WM_DESTROY, N times in a row
//   exit, setup       the menu commands, as WM_COMMAND
//   menu              a right click on the icon: opens the menu at the cursor
//   left-click        a left click on the icon
//   run PROGRAM [ARGUMENTS...]  start PROGRAM, wait for it, exit with its exit code
//   replace PROGRAM [ARGUMENTS...]  what Klemora does to restart Pendra: SendMessageA WM_DESTROY
//                     to the window, start PROGRAM at once, then as run
// Exit code 0 when the message was delivered, 1 when there is no window, 2 on a bad command.
// --desktop: look for the window on that Wine desktop, or start PROGRAM there. The tests use a
// desktop of their own: the default one may belong to a Wine process that had no X display.
#include "win32/Guards.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT trayCallback = WM_APP + 100;
constexpr WPARAM exitCommand = 40003;
constexpr WPARAM setupCommand = 40004;

int usage() {
    std::fputs("usage: tray-poke [--desktop NAME] exists|exit|setup|menu|left-click\n"
               "       tray-poke [--desktop NAME] destroy|post-destroy [COUNT]\n"
               "       tray-poke [--desktop NAME] run|replace PROGRAM [ARGUMENTS...]\n",
               stderr);
    return 2;
}

// One argument of a command line, quoted so that the C runtime splits it back unchanged.
void appendQuoted(std::string& line, const char* argument) {
    if (!line.empty()) {
        line += ' ';
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(*c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += *c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

int runProgram(const char* desktop, int argc, char** argv) {
    std::string commandLine;
    for (int i = 0; i < argc; ++i) {
        appendQuoted(commandLine, argv[i]);
    }
    std::string desktopName = desktop != nullptr ? desktop : "";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop != nullptr ? desktopName.data() : nullptr;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "tray-poke: cannot start %s: error %lu\n", argv[0], GetLastError());
        return 125;
    }
    ScopedHandle<KernelHandleTraits> processHandle(process.hProcess);
    ScopedHandle<KernelHandleTraits> threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(processHandle.get(), &code);
    return static_cast<int>(code);
}

int poke(const char* desktop, const char* command, int count) {
    DesktopHandle handle(desktop != nullptr ? OpenDesktopA(desktop, 0, FALSE, GENERIC_ALL)
                                            : nullptr);
    // FindWindowA looks at the calling thread's desktop; this thread has no windows yet.
    if (desktop != nullptr && (handle.get() == nullptr || !SetThreadDesktop(handle.get()))) {
        std::fprintf(stderr, "tray-poke: no desktop %s: error %lu\n", desktop, GetLastError());
        return 1;
    }
    HWND window = FindWindowA("Pendra", nullptr);
    if (window == nullptr) {
        return 1;
    }
    bool delivered = true;
    if (std::strcmp(command, "exists") == 0) {
        return 0;
    } else if (std::strcmp(command, "destroy") == 0) {
        // The answer is DefWindowProcA's; delivery cannot be told from it.
        for (int i = 0; i < count; ++i) {
            SendMessageA(window, WM_DESTROY, 0, 0);
        }
    } else if (std::strcmp(command, "post-destroy") == 0) {
        for (int i = 0; i < count && delivered; ++i) {
            delivered = PostMessageA(window, WM_DESTROY, 0, 0) != FALSE;
        }
    } else if (std::strcmp(command, "exit") == 0) {
        delivered = PostMessageA(window, WM_COMMAND, exitCommand, 0) != FALSE;
    } else if (std::strcmp(command, "setup") == 0) {
        delivered = PostMessageA(window, WM_COMMAND, setupCommand, 0) != FALSE;
    } else if (std::strcmp(command, "menu") == 0) {
        delivered = PostMessageA(window, trayCallback, 0, WM_RBUTTONDOWN) != FALSE;
    } else if (std::strcmp(command, "left-click") == 0) {
        delivered = PostMessageA(window, trayCallback, 0, WM_LBUTTONDOWN) != FALSE;
    } else {
        return usage();
    }
    return delivered ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    int next = 1;
    const char* desktop = nullptr;
    if (next + 1 < argc && std::strcmp(argv[next], "--desktop") == 0) {
        desktop = argv[next + 1];
        next += 2;
    }
    if (next >= argc) {
        return usage();
    }
    const bool replace = std::strcmp(argv[next], "replace") == 0;
    if (replace || std::strcmp(argv[next], "run") == 0) {
        if (next + 1 >= argc) {
            return usage();
        }
        if (replace && poke(desktop, "destroy", 1) != 0) {
            return 1;
        }
        return runProgram(desktop, argc - next - 1, argv + next + 1);
    }
    int count = 1;
    const bool repeatable =
        std::strcmp(argv[next], "destroy") == 0 || std::strcmp(argv[next], "post-destroy") == 0;
    if (repeatable && next + 2 == argc) {
        count = std::atoi(argv[next + 1]);
        if (count < 1 || count > 100) {
            return usage();
        }
    } else if (next + 1 != argc) {
        return usage();
    }
    return poke(desktop, argv[next], count);
}

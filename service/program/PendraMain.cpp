// The entry point of Pendra: one service object for the whole run, and the command line.
#include "service/engine/win/SyncService.h"
#include "service/host/StartupCommand.h"
#include "win32/Guards.h"
#include "win32/StatusRegistry.h"
#include "win32/WindowsTimeService.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool writeAll(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// To the output that the caller gave (a file or a pipe), else to the console of the parent
// process (Windows XP on; looked up, so that Windows 95 still starts the program). False when
// there is neither: a program of the window subsystem started from the desktop.
bool writeToCaller(const char* text) {
    std::string lines;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            lines += '\r';
        }
        lines += *c;
    }
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE &&
        GetFileType(output) != FILE_TYPE_UNKNOWN) {
        return writeAll(output, lines);
    }
    using AttachConsoleFn = BOOL(WINAPI*)(DWORD);
    const auto attach = reinterpret_cast<AttachConsoleFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "AttachConsole")));
    if (attach == nullptr || !attach(ATTACH_PARENT_PROCESS)) {
        return false;
    }
    bool written = false;
    {
        const FileHandle console(CreateFileA("CONOUT$", GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        written = console.valid() && writeAll(console.get(), "\r\n" + lines);
    }
    FreeConsole();
    return written;
}

class WindowsStartupHost : public StartupHost {
public:
    explicit WindowsStartupHost(SyncService& service) : service_(service) {}
    bool isWindowsNT() const override { return service_.isWindowsNT; }
    bool install() override { return service_.install(SERVICE_AUTO_START); }
    bool uninstall() override { return service_.uninstall(); }
    bool start() override { return service_.start(); }
    void showMessage(const char* text, unsigned flags) override {
        pendraMessageBox(text, "Pendra", flags);
    }
    void writeStandardError(const char* text) override { std::fputs(text, stderr); }
    void writeOutput(const char* text) override {
        if (!writeToCaller(text)) {
            pendraMessageBox(text, "Pendra", MB_OK);
        }
    }
    std::optional<StatusRecord> readStatus() override { return readStatusRegistry(); }
    std::string tlsLibrary() override { return nts::tlsLibraryVersion(); }
    int query(const std::string& server, std::uint32_t samples, bool nts) override {
        // Line by line as the samples come; in one box at the end where there is no console.
        std::string unshown;
        const int result =
            service_.query(server, samples, nts, [&unshown](const std::string& line) {
                const std::string text = line + "\n";
                if (!unshown.empty() || !writeToCaller(text.c_str())) {
                    unshown += text;
                }
            });
        if (!unshown.empty()) {
            pendraMessageBox(unshown.c_str(), "Pendra", MB_OK);
        }
        return result;
    }
    UnixSeconds now() override { return unixNow(); }
    std::optional<std::string> otherTimeService() override {
        return windowsTimeServiceSynchronising();
    }

private:
    SyncService& service_;
};

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    SyncService service(instance);
    WindowsStartupHost host(service);
    try {
        return runCommandLine(commandLine, host);
    } catch (const std::exception& e) {
        service.log().writeException(e);
        return 2;
    }
}

// The entry point of Pendra: one service object for the whole run, and the command line.
#include "service/engine/win/SyncService.h"
#include "service/host/StartupCommand.h"

#include <windows.h>

#include <cstdio>

namespace {

class WindowsStartupHost : public StartupHost {
public:
    explicit WindowsStartupHost(ServiceBase& service) : service_(service) {}
    bool isWindowsNT() const override { return service_.isWindowsNT; }
    bool install() override { return service_.install(SERVICE_AUTO_START); }
    bool uninstall() override { return service_.uninstall(); }
    bool start() override { return service_.start(); }
    void showMessage(const char* text, unsigned flags) override {
        pendraMessageBox(text, "Pendra", flags);
    }
    void writeStandardError(const char* text) override { std::fputs(text, stderr); }

private:
    ServiceBase& service_;
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

// Reads what the service control manager holds about a service, for the tests:
//   service-query config NAME   path, start type, service type, account and dependencies
//   service-query status NAME   current state and exit codes
//   service-query wait NAME STATE MILLISECONDS   waits (bounded) until the state is reached
//   service-query hold MILLISECONDS   stays alive that long, keeping Wine's services up
// One "key=value" line each; exit code 1 when the service cannot be opened, 2 on a time-out.
#include "win32/Guards.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int printConfig(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        return 1;
    }
    std::printf("path=%s\n", config->lpBinaryPathName ? config->lpBinaryPathName : "");
    std::printf("start=%lu\n", static_cast<unsigned long>(config->dwStartType));
    std::printf("type=%lu\n", static_cast<unsigned long>(config->dwServiceType));
    std::printf("account=%s\n", config->lpServiceStartName ? config->lpServiceStartName : "");
    std::string dependencies;
    for (const char* name = config->lpDependencies; name != nullptr && *name != '\0';
         name += std::strlen(name) + 1) {
        dependencies += dependencies.empty() ? "" : ",";
        dependencies += name;
    }
    std::printf("dependencies=%s\n", dependencies.c_str());
    return 0;
}

bool readStatus(SC_HANDLE service, SERVICE_STATUS& status) {
    return QueryServiceStatus(service, &status) != FALSE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        Sleep(std::strtoul(argv[2], nullptr, 10));
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: service-query config|status|wait NAME [STATE MS]\n");
        return 3;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(
        manager ? OpenServiceA(manager.get(), argv[2], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                : nullptr);
    if (!service) {
        std::printf("missing=%lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    const std::string command = argv[1];
    if (command == "config") {
        return printConfig(service.get());
    }
    SERVICE_STATUS status{};
    if (command == "wait" && argc >= 5) {
        const DWORD wanted = std::strtoul(argv[3], nullptr, 10);
        const ULONGLONG deadline = GetTickCount64() + std::strtoul(argv[4], nullptr, 10);
        while (readStatus(service.get(), status) && status.dwCurrentState != wanted) {
            if (GetTickCount64() >= deadline) {
                std::printf("state=%lu\n", static_cast<unsigned long>(status.dwCurrentState));
                return 2;
            }
            Sleep(50);
        }
    }
    if (!readStatus(service.get(), status)) {
        return 1;
    }
    std::printf("state=%lu\nwin32=%lu\nspecific=%lu\n",
                static_cast<unsigned long>(status.dwCurrentState),
                static_cast<unsigned long>(status.dwWin32ExitCode),
                static_cast<unsigned long>(status.dwServiceSpecificExitCode));
    return 0;
}

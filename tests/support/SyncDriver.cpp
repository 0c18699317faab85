// Runs the time service in the foreground the way its host does: initialize, then run.
// Usage: sync-driver [STOP-AFTER-MS] [--stop-file PATH] [--stop-before-initialize]
//                    [--status-denied] [--events PATH]
// Another thread asks the loop to stop after STOP-AFTER-MS milliseconds, or once PATH exists.
// --status-denied: every write of the status record fails with "access denied", as where the
// service's account may not write its key (Wine enforces no registry rights).
// --events: the events go to PATH, one line each, "type id text|text...", instead of the event
// log (Wine keeps none).
// Exit code: 0 when the configuration was read and the loop ran, 1 otherwise.
#include "service/engine/win/SyncService.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    SyncService service(GetModuleHandleA(nullptr));
    long stopAfter = -1;
    bool stopFirst = false;
    std::string stopFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stop-before-initialize") == 0) {
            stopFirst = true;
        } else if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
            const std::string path = argv[++i];
            service.setEventSink([path](const ServiceEvent& event) {
                static const char* const types[] = {"information", "warning", "error"};
                StdioFile file;
                file.open(path.c_str(), "ab");
                if (file.get() == nullptr) {
                    return;
                }
                std::fprintf(file.get(), "%s %u", types[static_cast<int>(event.type)],
                             static_cast<unsigned>(event.id));
                const char* separator = " ";
                for (const std::string& text : event.strings) {
                    std::fprintf(file.get(), "%s%s", separator, text.c_str());
                    separator = "|";
                }
                std::fputc('\n', file.get());
            });
        } else if (std::strcmp(argv[i], "--status-denied") == 0) {
            service.setStatusWriter([](const StatusRecord&) { return LONG{ERROR_ACCESS_DENIED}; });
        } else if (std::strcmp(argv[i], "--stop-file") == 0 && i + 1 < argc) {
            stopFile = argv[++i];
        } else {
            stopAfter = std::strtol(argv[i], nullptr, 10);
        }
    }
    if (stopFirst) {
        service.stop();
    }
    if (!service.initialize()) {
        return 1;
    }
    std::thread stopper;
    if (stopAfter >= 0 || !stopFile.empty()) {
        stopper = std::thread([&service, stopAfter, &stopFile] {
            const ULONGLONG start = GetTickCount64();
            // Bounded by the stop time, or by an hour when only a stop file is given.
            const ULONGLONG limit = stopAfter >= 0 ? static_cast<ULONGLONG>(stopAfter) : 3600000;
            while (GetTickCount64() - start < limit) {
                if (!stopFile.empty() &&
                    GetFileAttributesA(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
                    break;
                }
                Sleep(stopFile.empty() ? static_cast<DWORD>(limit) : 20);
            }
            service.stop();
        });
    }
    service.run();
    if (stopper.joinable()) {
        stopper.join();
    }
    return 0;
}

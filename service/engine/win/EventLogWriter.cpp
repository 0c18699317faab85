#include "service/engine/win/EventLogWriter.h"

#include <windows.h>

#include <vector>

namespace {

using RegisterEventSourceFn = HANDLE(WINAPI*)(LPCSTR, LPCSTR);
using ReportEventFn = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID);
using DeregisterEventSourceFn = BOOL(WINAPI*)(HANDLE);

template <typename Function> Function advapi(const char* name) {
    const HMODULE library = GetModuleHandleA("advapi32.dll");
    return library == nullptr
               ? nullptr
               : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

} // namespace

DWORD eventMessageId(const ServiceEvent& event) {
    switch (event.type) {
    case EventType::warning:
        return 0x80000000u | event.id;
    case EventType::error:
        return 0xC0000000u | event.id;
    case EventType::information:
        break;
    }
    return 0x40000000u | event.id;
}

void writeEventLog(const ServiceEvent& event) {
    static const auto registerSource = advapi<RegisterEventSourceFn>("RegisterEventSourceA");
    static const auto report = advapi<ReportEventFn>("ReportEventA");
    static const auto deregister = advapi<DeregisterEventSourceFn>("DeregisterEventSource");
    if (registerSource == nullptr || report == nullptr || deregister == nullptr) {
        return;
    }
    WORD type = EVENTLOG_INFORMATION_TYPE;
    if (event.type == EventType::warning) {
        type = EVENTLOG_WARNING_TYPE;
    } else if (event.type == EventType::error) {
        type = EVENTLOG_ERROR_TYPE;
    }
    const HANDLE source = registerSource(nullptr, "Pendra");
    if (source == nullptr) {
        return;
    }
    std::vector<LPCSTR> strings;
    for (const std::string& text : event.strings) {
        strings.push_back(text.c_str());
    }
    report(source, type, 0, eventMessageId(event), nullptr, static_cast<WORD>(strings.size()), 0,
           strings.empty() ? nullptr : strings.data(), nullptr);
    deregister(source);
}

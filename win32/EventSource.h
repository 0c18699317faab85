// Pendra as a source of the Windows event log: registered wherever the service is (Pendra
// -install, Klemora when it registers the service itself; the event log finds the texts of its
// events in Pendra.exe's message table), removed with -remove.
#pragma once

#include <string>

constexpr const char* eventSourceKeyPath =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pendra";

// True when the source's key holds the message file and the event types.
bool registerEventSource(const std::string& messageFile);
void removeEventSource();

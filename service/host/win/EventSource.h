// Pendra as a source of the Windows event log: registered with -install (the event log finds
// the texts of its events in the program's message table), removed with -remove.
#pragma once

#include <string>

constexpr const char* eventSourceKeyPath =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pendra";

// True when the source's key holds the message file and the event types.
bool registerEventSource(const std::string& messageFile);
void removeEventSource();

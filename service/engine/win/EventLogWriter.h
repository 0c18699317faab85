// Writes Pendra's events to the Windows event log under its source. The functions are looked
// up at run time: Windows 95 and 98 have no event log, and the program still starts there.
#pragma once

#include "service/engine/ServiceEvents.h"

#include <windows.h>

// The number of the event's text in the message table: its id with its severity on top.
DWORD eventMessageId(const ServiceEvent& event);

void writeEventLog(const ServiceEvent& event);

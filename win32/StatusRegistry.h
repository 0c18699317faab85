// Pendra's status record in the registry: written by Pendra after each poll, read by
// Pendra -status and by Klemora.
#pragma once

#include "common/PendraStatus.h"

#include <windows.h>

#include <optional>

// The system clock, in the record's seconds.
UnixSeconds unixNow();

// The record, all of it from one write; none when its key is missing or cannot be opened.
std::optional<StatusRecord> readStatusRegistry();

// Creates the key when it is missing and writes every value, keeping readers out meanwhile:
// ERROR_SUCCESS, or the first failure's code.
LONG writeStatusRegistry(const StatusRecord& record);

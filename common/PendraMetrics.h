// Pendra's state as metrics in the Prometheus text format, for the textfile collector of
// windows_exporter and the like: written after every poll from the status record. Portable.
#pragma once

#include "common/PendraStatus.h"

#include <string>

// The record's metrics at time now; a value that the record does not know is left out, its
// HELP and TYPE stay. A service that no longer runs keeps nothing synchronised.
std::string prometheusMetrics(const StatusRecord& record, UnixSeconds now, bool running = true);

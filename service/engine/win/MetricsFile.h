// Writes the metrics file for a monitoring agent: into a temporary file beside it, then over
// it in one move, so that a reader never sees half a file.
#pragma once

#include <windows.h>

#include <string>

// ERROR_SUCCESS, or the code of the call that failed.
LONG writeMetricsFile(const std::string& path, const std::string& text);

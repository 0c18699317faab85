// The text of a failed system call as Klemora shows it: the caption line naming the call, then
// the system's text for the error code. Portable; the lookup is passed in.
#pragma once

#include <cstdint>
#include <string>

// The system's text for a code, empty when it has none.
using ErrorTextLookup = std::string (*)(std::uint32_t code);

// A caption longer than 4000 characters is cut to its first 2000; a missing system text reads
// "Unknown error code: %#08x"; each part ends with a line break; carriage returns become
// blanks.
std::string systemErrorText(const std::string& caption, std::uint32_t code, ErrorTextLookup lookup);

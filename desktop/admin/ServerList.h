// The time servers offered on the settings page: the lines of NTPServ.dat. Portable.
#pragma once

#include <string>
#include <vector>

// Each line as it stands, without its line end (CR LF or LF); an empty line is an empty
// entry; a last line without a line end counts; nothing follows the last line end.
std::vector<std::string> serverListEntries(const std::string& content);

// Which help topic a help request shows, and where Klemora finds it. Portable.
#pragma once

#include "desktop/framework/HelpContext.h"

#include <cstdint>
#include <string>

// KlemoraHelp, Standard, Autostart, Server or LogFile for their contexts; Tarnwick for any
// other.
const char* helpTopicFor(std::uint32_t context);

// "<appRoot>Klemora.chm::/html/<topic>.htm", for the help control.
std::string compiledHelpPath(const std::string& appRoot, const char* topic);
// "<appRoot>html\<topic>.htm", the same page as a single file.
std::string singlePageHelpPath(const std::string& appRoot, const char* topic);

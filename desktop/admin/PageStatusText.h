// The text under the settings: Pendra's status line, and below it a line when the Windows Time
// service steers the same clock, for the two fight over its rate and the user should know why
// it does not follow Pendra alone.
#pragma once

#include <optional>
#include <string>

// windowsTimeType: the service's synchronisation type while it runs and synchronises, else none.
std::string pageStatusText(const std::string& statusLine,
                           const std::optional<std::string>& windowsTimeType);

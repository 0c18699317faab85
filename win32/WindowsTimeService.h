// Whether the Windows Time service steers this clock too: it uses the same rate adjustment, so
// two services that discipline one clock fight.
#pragma once

#include <optional>
#include <string>

// The service's synchronisation type (its Parameters\Type: "NTP", "NT5DS", "AllSync") while it
// runs and synchronises; none when it is missing, stopped, or set to "NoSync".
std::optional<std::string> windowsTimeServiceSynchronising();

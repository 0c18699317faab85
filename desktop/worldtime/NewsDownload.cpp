#include "desktop/worldtime/NewsDownload.h"

#include <cstdio>

std::string chooseNewsUrl(const std::optional<std::string>& environment,
                          const std::optional<std::string>& registry) {
    if (environment && !environment->empty()) {
        return *environment;
    }
    if (registry && !registry->empty()) {
        return *registry;
    }
    return builtInNewsUrl;
}

std::optional<std::string> statusLine(std::uint32_t code, const StatusInformation& info) {
    char line[512];
    switch (code) {
    case 10:
        std::snprintf(line, sizeof line, "Resolving name for %s", info.text.c_str());
        return line;
    case 11:
        std::snprintf(line, sizeof line, "Resolved name for %s", info.text.c_str());
        return line;
    case 20:
        return "Connecting to socket address";
    case 21:
        return "Connected to socket address";
    case 30:
        return "Sending request...";
    case 31:
        return "Request sent";
    case 40:
    case 70:
        return std::nullopt;
    case 41:
        return "Response received";
    case 50:
        return "Closing the connection to the server";
    case 51:
        return "Connection to the server closed";
    case 60:
        return "";
    case 100:
        if (!info.hasResult) {
            return "Request complete";
        }
        std::snprintf(line, sizeof line, "Request complete, dwResult = %8.8X, dwError = %8.8X",
                      static_cast<unsigned>(info.result), static_cast<unsigned>(info.error));
        return line;
    default:
        std::snprintf(line, sizeof line, "Unknown status: %d", static_cast<int>(code));
        return line;
    }
}

std::string readProgressLine(std::uint64_t totalBytes, std::uint64_t wholeSeconds) {
    char line[80];
    if (wholeSeconds > 0) {
        std::snprintf(line, sizeof line, "Read %d bytes (%0.1f Kb/s)", static_cast<int>(totalBytes),
                      static_cast<double>(totalBytes) / 1024.0 / static_cast<double>(wholeSeconds));
    } else {
        std::snprintf(line, sizeof line, "Read %d bytes", static_cast<int>(totalBytes));
    }
    return line;
}

std::string tickerLine(const std::string& received) {
    std::string line = received.substr(0, received.find_first_of("\r\n"));
    for (char& c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        }
    }
    return line;
}

#include "desktop/admin/HelpTopics.h"

const char* helpTopicFor(std::uint32_t context) {
    switch (context) {
    case helpContextOf(102):
        return "KlemoraHelp";
    case helpContextOf(141):
        return "Standard";
    case helpContextOf(143):
        return "Autostart";
    case helpContextOf(144):
        return "Server";
    case helpContextOf(145):
        return "LogFile";
    default:
        return "Tarnwick";
    }
}

std::string compiledHelpPath(const std::string& appRoot, const char* topic) {
    return appRoot + "Klemora.chm::/html/" + topic + ".htm";
}

std::string singlePageHelpPath(const std::string& appRoot, const char* topic) {
    return appRoot + "html\\" + topic + ".htm";
}

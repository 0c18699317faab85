#include "desktop/admin/VersionText.h"

#include <array>
#include <cstdio>

namespace {

// The texts go through a 2000-character buffer filled by wsprintfA, which stops at 1024.
constexpr std::size_t maxTextLength = 1024;

std::string limited(std::string text) {
    if (text.size() > maxTextLength) {
        text.resize(maxTextLength);
    }
    return text;
}

} // namespace

std::string infoVersionText(const ProgramVersion& version) {
    char head[80];
    std::snprintf(head, sizeof head, "\n Version: %u.%u.%u.%u\n\n",
                  static_cast<unsigned>(version.fileVersionMost >> 16),
                  static_cast<unsigned>(version.fileVersionMost & 0xFFFF),
                  static_cast<unsigned>(version.fileVersionLeast >> 16),
                  static_cast<unsigned>(version.fileVersionLeast & 0xFFFF));
    std::string text = head;
    const std::array<std::pair<const char*, const char*>, 4> rows{{
        {" Company:   ", "CompanyName"},
        {" Product:   ", "ProductName"},
        {" Description:", "FileDescription"},
        {"\t", "LegalCopyright"},
    }};
    for (const auto& [label, name] : rows) {
        text += std::string(label) + " \t" + version.value(name) + "\n";
    }
    return limited(text);
}

std::string aboutVersionText(const ProgramVersion& version) {
    char head[40];
    std::snprintf(head, sizeof head, "Version: %u.%u\n",
                  static_cast<unsigned>(version.fileVersionMost >> 16),
                  static_cast<unsigned>(version.fileVersionMost & 0xFFFF));
    std::string text = head;
    for (const char* name : {"CompanyName", "PrivateBuild", "FileDescription", "FileVersion",
                             "InternalName", "LegalCopyright", "ProductName"}) {
        text += std::string(name) + ":\t" + version.value(name) + "\n";
    }
    return limited(text);
}

#include "desktop/admin/SystemErrorText.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t bufferSize = 4000;

void endLine(std::string& text) {
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
}

} // namespace

std::string systemErrorText(const std::string& caption, std::uint32_t code,
                            ErrorTextLookup lookup) {
    std::string text = caption.size() > bufferSize ? caption.substr(0, bufferSize / 2) : caption;
    endLine(text);
    std::string system = lookup != nullptr ? lookup(code) : std::string();
    if (system.empty()) {
        char unknown[40];
        std::snprintf(unknown, sizeof unknown, "Unknown error code: %#08x",
                      static_cast<unsigned>(code));
        system = unknown;
    }
    // The whole text, line breaks and end included, fits the 4000-byte buffer.
    text += system.substr(0, bufferSize - std::min(bufferSize, text.size() + 2));
    endLine(text);
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

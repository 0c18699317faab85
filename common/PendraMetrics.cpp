#include "common/PendraMetrics.h"

#include <charconv>
#include <optional>
#include <system_error>

namespace {

// Whether text is well-formed UTF-8, which the format demands of a label value.
bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// A label value with its backslashes, quotes and line feeds escaped; a name in the system's
// code page that is no UTF-8 keeps its ASCII, the rest becomes '?', so the file stays readable.
std::string labelValue(const std::string& text) {
    const bool utf8 = isUtf8(text);
    std::string escaped;
    for (const char c : text) {
        if (!utf8 && static_cast<unsigned char>(c) >= 0x80) {
            escaped += '?';
        } else if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The shortest text that reads back as the same number.
std::string number(double value) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

} // namespace

std::string prometheusMetrics(const StatusRecord& record, UnixSeconds now, bool running) {
    // The server where one applies: the one that answered last.
    const std::string server =
        record.server.empty() ? std::string() : "{server=\"" + labelValue(record.server) + "\"}";
    std::string text;
    const auto metric = [&text](const char* name, const char* help, const std::string& labels,
                                const std::optional<double>& value) {
        text += std::string("# HELP ") + name + " " + help + "\n";
        text += std::string("# TYPE ") + name + " gauge\n";
        if (value) {
            text += name + labels + " " + number(*value) + "\n";
        }
    };
    const auto seconds = [](const std::optional<UnixSeconds>& time) -> std::optional<double> {
        return time ? std::optional<double>(static_cast<double>(*time)) : std::nullopt;
    };
    const auto fromMilliseconds = [](const std::optional<double>& value) {
        return value ? std::optional<double>(*value / 1000) : std::nullopt;
    };
    metric("pendra_synchronised",
           "1 when the last success is younger than twice the poll interval (or a single run "
           "succeeded), as Pendra -status judges; else 0.",
           server, running && syncHealth(record, now) == SyncHealth::synchronised ? 1 : 0);
    metric("pendra_offset_seconds", "The offset that the last success corrected, in seconds.",
           server, fromMilliseconds(record.offsetMilliseconds));
    metric("pendra_delay_seconds", "The round-trip delay of the last success, in seconds.", server,
           fromMilliseconds(record.delayMilliseconds));
    metric("pendra_last_success_timestamp_seconds",
           "When the clock was last set from a valid reply, in seconds since 1970.", server,
           seconds(record.lastSuccess));
    metric("pendra_last_poll_timestamp_seconds", "When the last poll ended, in seconds since 1970.",
           "", seconds(record.lastPoll));
    metric("pendra_failed_polls", "Polls without a valid reply since the last success.", "",
           static_cast<double>(record.failedPolls));
    metric("pendra_poll_interval_seconds",
           "The wait in force before the next poll, in seconds: longer after a kiss-o'-death.", "",
           static_cast<double>(record.pollSeconds));
    return text;
}

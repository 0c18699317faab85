#include "common/PendraStatus.h"

#include "common/CivilDate.h"
#include "common/RegistryTypes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace {

// A number with that many decimals, signed or not, with a point whatever the locale says.
std::string decimalText(double value, int decimals, bool signed_) {
    char text[64];
    if (signed_) {
        std::snprintf(text, sizeof text, "%+.*f", decimals, value);
    } else {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    }
    for (char& c : text) {
        if (c == ',') {
            c = '.';
        }
    }
    // What rounds to zero has no minus: "-0.0" reads as a fault.
    std::string result = text;
    if (result[0] == '-' && result.find_first_not_of("0.", 1) == std::string::npos) {
        if (signed_) {
            result[0] = '+';
        } else {
            result.erase(0, 1);
        }
    }
    return result;
}

std::string millisecondsText(double value, bool signed_) {
    return decimalText(value, 3, signed_);
}

std::optional<double> parseMilliseconds(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    double value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value, std::chars_format::fixed);
    if (error != std::errc() || stop != end || begin == end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// A span of time for people: seconds, minutes, hours or days.
std::string durationText(std::int64_t seconds) {
    char text[64];
    if (seconds < 120) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
    } else if (seconds < 2 * 3600) {
        std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(seconds / 60));
    } else if (seconds < 2 * 86400) {
        std::snprintf(text, sizeof text, "%lld h", static_cast<long long>(seconds / 3600));
    } else {
        std::snprintf(text, sizeof text, "%lld days", static_cast<long long>(seconds / 86400));
    }
    return text;
}

// Whether the next poll is late by more than a poll interval, at least two minutes: the time
// that a poll of several silent servers may take itself. A service that waits longer after a
// kiss-o'-death has said so in the record.
bool isOverdue(const StatusRecord& record, UnixSeconds now) {
    const auto interval = static_cast<std::int64_t>(record.pollSeconds);
    const UnixSeconds due = record.nextPoll.value_or(*record.lastPoll + interval);
    return now - due >= std::max<std::int64_t>(interval, 120);
}

// How the last success corrected the clock, for the report's offset line.
std::string correctionText(const StatusRecord& record) {
    if (record.lastCorrection == "slew") {
        return ", slewed";
    }
    return record.lastCorrection == "step" ? ", stepped" : "";
}

// By its result: a success and a failure may fall in the same second.
bool lastPollSucceeded(const StatusRecord& record) {
    return record.lastSuccess && record.lastResult == resultSynchronised;
}

} // namespace

std::string isoUtc(UnixSeconds time) {
    std::int64_t days = time / 86400;
    std::int64_t second = time % 86400;
    if (second < 0) {
        second += 86400;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60),
                  static_cast<int>(second % 60));
    return text;
}

std::optional<UnixSeconds> parseIsoUtc(const std::string& text) {
    // YYYY-MM-DDTHH:MM:SSZ and nothing else.
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const auto number = [&text](std::size_t at, std::size_t length) -> std::optional<unsigned> {
        unsigned value = 0;
        const char* begin = text.data() + at;
        const auto [stop, error] = std::from_chars(begin, begin + length, value);
        if (error != std::errc() || stop != begin + length) {
            return std::nullopt;
        }
        return value;
    };
    const auto year = number(0, 4);
    const auto month = number(5, 2);
    const auto day = number(8, 2);
    const auto hour = number(11, 2);
    const auto minute = number(14, 2);
    const auto second = number(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *month > 12 ||
        *day < 1 || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    const std::int64_t days = daysFromCivil(*year, *month, *day);
    // A day beyond its month's end comes back as another date.
    if (civilFromDays(days).day != *day) {
        return std::nullopt;
    }
    return days * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::vector<StatusValue> statusValues(const StatusRecord& record) {
    const auto time = [](const std::optional<UnixSeconds>& value) {
        return value ? isoUtc(*value) : std::string();
    };
    const auto milliseconds = [](const std::optional<double>& value, bool signed_) {
        return value ? millisecondsText(*value, signed_) : std::string();
    };
    namespace v = status_value;
    return {{v::lastPoll, time(record.lastPoll)},
            {v::lastResult, record.lastResult},
            {v::lastSuccess, time(record.lastSuccess)},
            {v::offset, milliseconds(record.offsetMilliseconds, true)},
            {v::delay, milliseconds(record.delayMilliseconds, false)},
            {v::server, record.server},
            {v::address, record.address},
            {v::failedPolls, std::nullopt, record.failedPolls},
            {v::nextPoll, time(record.nextPoll)},
            {v::pollSeconds, std::nullopt, record.pollSeconds},
            {v::runOnce, std::nullopt, record.runOnce ? 1u : 0u},
            {v::noReplyWarned, std::nullopt, record.noReplyWarned ? 1u : 0u},
            {v::frequency, milliseconds(record.frequencyPpm, true)},
            {v::lastCorrection, record.lastCorrection},
            {v::rateSet, std::nullopt, record.rateSet ? 1u : 0u},
            {v::authentication, record.authentication}};
}

StatusRecord
readStatusRecord(const std::function<std::optional<StoredValue>(const char* name)>& lookup) {
    StatusRecord record;
    // A text value: REG_SZ, read up to its first terminator.
    const auto text = [&](const char* name) -> std::optional<std::string> {
        const std::optional<StoredValue> value = lookup(name);
        if (!value) {
            return std::nullopt;
        }
        if (value->type != registry_type::string) {
            record.unreadable.emplace_back(name);
            return std::nullopt;
        }
        return value->data.substr(0, value->data.find('\0'));
    };
    // A text that must parse; an empty one means none.
    const auto parsed = [&](const char* name, auto parse) {
        const std::optional<std::string> value = text(name);
        decltype(parse(std::string())) result;
        if (value && !value->empty()) {
            result = parse(*value);
            if (!result) {
                record.unreadable.emplace_back(name);
            }
        }
        return result;
    };
    const auto number = [&](const char* name) -> std::optional<std::uint32_t> {
        const std::optional<StoredValue> value = lookup(name);
        if (!value) {
            return std::nullopt;
        }
        if (value->type != registry_type::dword || value->data.size() != 4) {
            record.unreadable.emplace_back(name);
            return std::nullopt;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(value->data.data());
        return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                          static_cast<std::uint32_t>(bytes[3]) << 24);
    };
    namespace v = status_value;
    record.lastPoll = parsed(v::lastPoll, parseIsoUtc);
    record.lastResult = text(v::lastResult).value_or("");
    record.lastSuccess = parsed(v::lastSuccess, parseIsoUtc);
    record.offsetMilliseconds = parsed(v::offset, parseMilliseconds);
    record.delayMilliseconds = parsed(v::delay, parseMilliseconds);
    record.server = text(v::server).value_or("");
    record.address = text(v::address).value_or("");
    record.failedPolls = number(v::failedPolls).value_or(0);
    record.nextPoll = parsed(v::nextPoll, parseIsoUtc);
    record.pollSeconds = number(v::pollSeconds).value_or(0);
    record.runOnce = number(v::runOnce).value_or(0) != 0;
    record.noReplyWarned = number(v::noReplyWarned).value_or(0) != 0;
    record.frequencyPpm = parsed(v::frequency, parseMilliseconds);
    record.lastCorrection = text(v::lastCorrection).value_or("");
    record.rateSet = number(v::rateSet).value_or(0) != 0;
    record.authentication = text(v::authentication).value_or("");
    return record;
}

SyncHealth syncHealth(const std::optional<StatusRecord>& record, UnixSeconds now) {
    if (!record || (!record->lastPoll && !record->lastSuccess)) {
        return SyncHealth::noRecord;
    }
    if (!record->lastSuccess) {
        return SyncHealth::never;
    }
    if (record->runOnce) {
        return lastPollSucceeded(*record) ? SyncHealth::synchronised : SyncHealth::stale;
    }
    // Without a known interval no age is young enough.
    const std::int64_t limit = 2 * static_cast<std::int64_t>(record->pollSeconds);
    return now - *record->lastSuccess < limit ? SyncHealth::synchronised : SyncHealth::stale;
}

int statusExitCode(SyncHealth health) {
    switch (health) {
    case SyncHealth::synchronised:
        return 0;
    case SyncHealth::stale:
    case SyncHealth::never:
        return 1;
    case SyncHealth::noRecord:
        break;
    }
    return 2;
}

std::string statusReport(const std::optional<StatusRecord>& record, UnixSeconds now) {
    const SyncHealth health = syncHealth(record, now);
    std::string report;
    const auto line = [&report](const std::string& label, const std::string& text) {
        report += label + std::string(label.size() < 15 ? 15 - label.size() : 1, ' ') + text + "\n";
    };
    if (record) {
        const StatusRecord& r = *record;
        if (r.lastPoll) {
            line("Last poll:",
                 isoUtc(*r.lastPoll) + ", " + (r.lastResult.empty() ? "no result" : r.lastResult));
        }
        if (r.lastSuccess) {
            std::string from;
            if (!r.server.empty()) {
                from = " from " + r.server + (r.address.empty() ? "" : " (" + r.address + ")");
            }
            line("Last success:", isoUtc(*r.lastSuccess) + from);
            if (!r.authentication.empty()) {
                line("Authentication:", r.authentication == "NTS"
                                            ? "NTS: the server proved the time by its certificate"
                                            : r.authentication);
            }
        } else {
            line("Last success:", "none");
        }
        if (r.offsetMilliseconds) {
            line("Offset:",
                 millisecondsText(*r.offsetMilliseconds, true) + " ms" +
                     (r.delayMilliseconds
                          ? ", delay " + millisecondsText(*r.delayMilliseconds, false) + " ms"
                          : "") +
                     correctionText(r));
        }
        if (r.frequencyPpm) {
            line("Frequency:", decimalText(*r.frequencyPpm, 3, true) +
                                   " ppm: how fast the clock runs on its own, made up for");
        }
        line("Failed polls:", std::to_string(r.failedPolls) + " since the last success");
        if (r.runOnce) {
            line("Next poll:", "none, a single run");
        } else {
            line("Next poll:", r.nextPoll ? isoUtc(*r.nextPoll) : "not known");
            line("Poll interval:", std::to_string(r.pollSeconds) + " s");
        }
        if (!r.unreadable.empty()) {
            std::string names;
            for (const std::string& name : r.unreadable) {
                names += (names.empty() ? "" : ", ") + name;
            }
            line("Unreadable:", names + " (wrong type or form; taken as missing)");
        }
    }
    switch (health) {
    case SyncHealth::synchronised:
        report += record->runOnce
                      ? "Synchronised: the single run succeeded.\n"
                      : "Synchronised: the last success is " +
                            durationText(std::max<std::int64_t>(0, now - *record->lastSuccess)) +
                            " old, within twice the poll interval.\n";
        break;
    case SyncHealth::stale:
        report += record->runOnce ? "Not synchronised: the last single run had no success.\n"
                                  : "Not synchronised: the last success is " +
                                        durationText(now - *record->lastSuccess) +
                                        " old, more than twice the poll interval.\n";
        break;
    case SyncHealth::never:
        report += "Not synchronised: no poll has succeeded yet.\n";
        break;
    case SyncHealth::noRecord:
        report += record ? std::string("No usable status record: no time of a poll can be read.\n")
                         : std::string("No status record: Pendra has not polled on this "
                                       "computer (HKEY_LOCAL_MACHINE\\") +
                               statusKeyPath + ").\n";
        break;
    }
    return report;
}

std::string statusLine(const std::optional<StatusRecord>& record, UnixSeconds now,
                       const std::function<std::string(UnixSeconds)>& toLocal) {
    if (syncHealth(record, now) == SyncHealth::noRecord) {
        return "Pendra does not run: it has left no status on this computer";
    }
    const StatusRecord& r = *record;
    if (!r.runOnce && (!r.lastPoll || isOverdue(r, now))) {
        return "Pendra does not run: last poll " +
               (r.lastPoll ? toLocal(*r.lastPoll) : std::string("not known"));
    }
    if (lastPollSucceeded(r)) {
        std::string text = "Synchronised " + toLocal(*r.lastSuccess);
        if (!r.address.empty() || !r.server.empty()) {
            text += " from " + (r.address.empty() ? r.server : r.address);
        }
        if (r.authentication == "NTS") {
            text += ", authenticated (NTS)";
        }
        if (r.offsetMilliseconds) {
            text += ", offset " + decimalText(*r.offsetMilliseconds, 1, true) + " ms";
            if (r.lastCorrection == "slew") {
                text += " slewed";
            }
        }
        if (r.frequencyPpm) {
            text += ", clock " + decimalText(*r.frequencyPpm, 1, true) + " ppm";
        }
        return text;
    }
    if (r.failedPolls > 0) {
        const std::string polls =
            std::to_string(r.failedPolls) + (r.failedPolls == 1 ? " poll" : " polls");
        return r.lastSuccess ? "No valid reply since " + toLocal(*r.lastSuccess) + ", " + polls
                             : "No valid reply yet, " + polls;
    }
    return "Last poll " + toLocal(*r.lastPoll) + ": " + r.lastResult;
}

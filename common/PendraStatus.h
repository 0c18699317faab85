// Pendra's state after its last poll, as it keeps it in the Status subkey of its settings key
// for people and monitoring scripts: what the values are called, how they read, and what they
// say. Portable: Pendra writes the record, Pendra -status and Klemora read it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Under HKEY_LOCAL_MACHINE; only Pendra writes it.
constexpr const char* statusKeyPath = "SOFTWARE\\Tarnwick\\NTP Client\\Status";

// The values. Times are REG_SZ in UTC, ISO 8601 ("2026-12-08T10:32:05Z"); the offset and the
// delay are REG_SZ in milliseconds with a point ("+0.412", "1.250"), the frequency in ppm
// ("-23.417"); counts are REG_DWORD.
namespace status_value {
constexpr const char* lastPoll = "LastPoll";
constexpr const char* lastResult = "LastResult";
constexpr const char* lastSuccess = "LastSuccess";
constexpr const char* offset = "OffsetMilliseconds";
constexpr const char* delay = "DelayMilliseconds";
constexpr const char* server = "Server";
constexpr const char* address = "Address";
constexpr const char* failedPolls = "FailedPolls";
constexpr const char* nextPoll = "NextPoll";
constexpr const char* pollSeconds = "PollSeconds";
constexpr const char* runOnce = "RunOnce";
constexpr const char* noReplyWarned = "NoReplyWarned";
constexpr const char* frequency = "FrequencyPpm";
constexpr const char* lastCorrection = "LastCorrection";
constexpr const char* rateSet = "RateSet";
constexpr const char* authentication = "Authentication";
} // namespace status_value

// The result of a poll that set the clock; other results say what went wrong.
constexpr const char* resultSynchronised = "synchronised";

// Seconds since 1970-01-01 00:00 UTC.
using UnixSeconds = std::int64_t;

// A FILETIME count (100-ns units since 1601-01-01 UTC) in whole seconds since 1970, and back.
constexpr std::int64_t fileTimeTicksPerSecond = 10000000;
constexpr std::int64_t secondsFrom1601To1970 = 11644473600;
constexpr UnixSeconds unixFromFileTime(std::uint64_t ticks) {
    return static_cast<UnixSeconds>(ticks / fileTimeTicksPerSecond) - secondsFrom1601To1970;
}
constexpr std::uint64_t fileTimeFromUnix(UnixSeconds time) {
    return static_cast<std::uint64_t>(time + secondsFrom1601To1970) * fileTimeTicksPerSecond;
}

struct StatusRecord {
    std::optional<UnixSeconds> lastPoll;
    std::string lastResult;
    std::optional<UnixSeconds> lastSuccess;
    std::optional<double> offsetMilliseconds;
    std::optional<double> delayMilliseconds;
    std::string server;  // the entry of the server list that answered last
    std::string address; // its address that answered
    std::uint32_t failedPolls = 0;
    std::optional<UnixSeconds> nextPoll;
    std::uint32_t pollSeconds = 0;
    bool runOnce = false;
    // The event log was told of a day without a valid reply, and not yet of its end.
    bool noReplyWarned = false;
    // How fast the computer's clock runs on its own, in ppm (positive: it gains), where the
    // service disciplines it; the next start takes it over.
    std::optional<double> frequencyPpm;
    // "step" or "slew": how the last success corrected the clock; empty before the first.
    std::string lastCorrection;
    // The service has set the clock's rate and not yet given it back: a start after a crash
    // gives it back first.
    bool rateSet = false;
    // "NTS" where the last success came from a reply that the server authenticated, "none"
    // where it came by plain SNTP; empty before the first.
    std::string authentication;
    // Values present but of the wrong type or unreadable, by name: they count as missing.
    std::vector<std::string> unreadable;
};

std::string isoUtc(UnixSeconds time);
// Only the form isoUtc writes; none for anything else.
std::optional<UnixSeconds> parseIsoUtc(const std::string& text);

// One registry value: a text (REG_SZ) or a number (REG_DWORD).
struct StatusValue {
    const char* name;
    std::optional<std::string> text;
    std::uint32_t number = 0;
};
// The record as the values to write, every one of them (an empty text where there is none).
std::vector<StatusValue> statusValues(const StatusRecord& record);

// A stored value as read: its registry type and its bytes.
struct StoredValue {
    std::uint32_t type;
    std::string data;
};
// Reads the record through lookup (none for a missing value). A value of the wrong type or
// with text that does not parse is named in unreadable and left out.
StatusRecord
readStatusRecord(const std::function<std::optional<StoredValue>(const char* name)>& lookup);

// Whether the clock is synchronised, as a monitoring script wants to know: the last success
// is younger than twice the poll interval (or a single run succeeded); else stale, or never
// synchronised; no record at all.
enum class SyncHealth { synchronised, stale, never, noRecord };
SyncHealth syncHealth(const std::optional<StatusRecord>& record, UnixSeconds now);
// 0 synchronised, 1 stale or never, 2 no record.
int statusExitCode(SyncHealth health);

// The record in a few lines for the console, ending with the verdict.
std::string statusReport(const std::optional<StatusRecord>& record, UnixSeconds now);

// One line for a status bar, in the local time that toLocal gives as "hh:mm:ss": synchronised
// and from where, or since when there was no valid reply, or that Pendra does not run (no poll
// within two poll intervals).
std::string statusLine(const std::optional<StatusRecord>& record, UnixSeconds now,
                       const std::function<std::string(UnixSeconds)>& toLocal);

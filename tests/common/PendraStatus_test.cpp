// The status record: its times and numbers as stored, read back from values of every kind a
// hand may leave, and the verdicts that people and scripts get from it.
#include "common/PendraMetrics.h"
#include "common/PendraStatus.h"
#include "common/RegistryTypes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

constexpr UnixSeconds noon = 1796731200; // 2026-12-08T12:00:00Z

std::string dword(std::uint32_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF),
                       static_cast<char>(value >> 16 & 0xFF), static_cast<char>(value >> 24)};
}

// The values as a registry would hold them, written from statusValues.
std::map<std::string, StoredValue> stored(const StatusRecord& record) {
    std::map<std::string, StoredValue> values;
    for (const StatusValue& value : statusValues(record)) {
        values[value.name] = value.text ? StoredValue{registry_type::string, *value.text + '\0'}
                                        : StoredValue{registry_type::dword, dword(value.number)};
    }
    return values;
}

StatusRecord readBack(const std::map<std::string, StoredValue>& values) {
    return readStatusRecord([&values](const char* name) -> std::optional<StoredValue> {
        const auto found = values.find(name);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    });
}

std::string utcClock(UnixSeconds time) {
    return isoUtc(time).substr(11, 8);
}

StatusRecord synchronisedAt(UnixSeconds time) {
    StatusRecord record;
    record.lastPoll = time;
    record.lastSuccess = time;
    record.lastResult = "synchronised";
    record.offsetMilliseconds = 0.412;
    record.delayMilliseconds = 1.25;
    record.server = "pool.test";
    record.address = "2001:db8::7";
    record.pollSeconds = 900;
    record.nextPoll = time + 900;
    return record;
}

} // namespace

TEST(PendraStatus, TimesAreIsoUtcAndOnlyThatFormParses) {
    EXPECT_EQ(isoUtc(noon), "2026-12-08T12:00:00Z");
    EXPECT_EQ(isoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoUtc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(isoUtc(-1), "1969-12-31T23:59:59Z");
    for (const UnixSeconds time :
         {UnixSeconds{0}, noon, UnixSeconds{951782399}, UnixSeconds{4102444799}}) {
        EXPECT_EQ(parseIsoUtc(isoUtc(time)), time);
    }
    for (const char* bad :
         {"", "2026-12-08 12:00:00Z", "2026-12-08T12:00:00", "2026-02-30T00:00:00Z",
          "2026-13-01T00:00:00Z", "2026-12-08T24:00:00Z", "2026-12-08T12:00:0xZ",
          "+026-12-08T12:00:00Z", "2026-12-08T12:00:00Z "}) {
        EXPECT_FALSE(parseIsoUtc(bad)) << bad;
    }
}

TEST(PendraStatus, TheRecordReadsBackAndGarbageCountsAsMissing) {
    StatusRecord written = synchronisedAt(noon);
    written.offsetMilliseconds = -1234.5678;
    written.failedPolls = 3;
    const StatusRecord read = readBack(stored(written));
    EXPECT_EQ(read.lastPoll, noon);
    EXPECT_EQ(read.lastSuccess, noon);
    EXPECT_EQ(read.nextPoll, noon + 900);
    EXPECT_DOUBLE_EQ(*read.offsetMilliseconds, -1234.568);
    EXPECT_DOUBLE_EQ(*read.delayMilliseconds, 1.25);
    EXPECT_EQ(read.address, "2001:db8::7");
    EXPECT_EQ(read.failedPolls, 3u);
    EXPECT_EQ(read.pollSeconds, 900u);
    EXPECT_TRUE(read.unreadable.empty());
    // A delay that rounds to zero is written without a sign, like every delay.
    written.delayMilliseconds = -0.0004;
    for (const StatusValue& value : statusValues(written)) {
        if (std::string(value.name) == status_value::delay) {
            EXPECT_EQ(value.text, "0.000");
        }
    }

    // Written by hand: a number where a text belongs, a text where a number belongs, a time and
    // an offset that do not parse, a DWORD of three bytes. Each is named and left out.
    auto values = stored(written);
    values[status_value::lastSuccess] = {registry_type::dword, dword(5)};
    values[status_value::failedPolls] = {registry_type::string, std::string("7\0", 2)};
    values[status_value::lastPoll] = {registry_type::string, "yesterday"};
    values[status_value::offset] = {registry_type::string, "0,4"};
    values[status_value::pollSeconds] = {registry_type::dword, "abc"};
    const StatusRecord garbage = readBack(values);
    EXPECT_FALSE(garbage.lastSuccess);
    EXPECT_FALSE(garbage.lastPoll);
    EXPECT_FALSE(garbage.offsetMilliseconds);
    EXPECT_EQ(garbage.failedPolls, 0u);
    EXPECT_EQ(garbage.pollSeconds, 0u);
    EXPECT_EQ(garbage.unreadable.size(), 5u);
    // Nothing to go by: as no record at all.
    EXPECT_EQ(syncHealth(garbage, noon), SyncHealth::noRecord);
    EXPECT_NE(statusReport(garbage, noon).find("Unreadable:"), std::string::npos);
}

TEST(PendraStatus, TheVerdictFollowsTheAgeOfTheLastSuccess) {
    const StatusRecord record = synchronisedAt(noon);
    // Twice the interval is the limit, not once: a missed poll is not yet a fault.
    EXPECT_EQ(syncHealth(record, noon + 1799), SyncHealth::synchronised);
    EXPECT_EQ(syncHealth(record, noon + 1800), SyncHealth::stale);
    // The clock set back after the success: the success is no older than now.
    EXPECT_EQ(syncHealth(record, noon - 3600), SyncHealth::synchronised);
    StatusRecord unknownInterval = record;
    unknownInterval.pollSeconds = 0;
    EXPECT_EQ(syncHealth(unknownInterval, noon), SyncHealth::stale);

    StatusRecord failing = record;
    failing.lastSuccess.reset();
    EXPECT_EQ(syncHealth(failing, noon), SyncHealth::never);
    EXPECT_EQ(syncHealth(std::nullopt, noon), SyncHealth::noRecord);

    // A single run: its last run decides, however old.
    StatusRecord once = record;
    once.runOnce = true;
    EXPECT_EQ(syncHealth(once, noon + 86400 * 30), SyncHealth::synchronised);
    // A failure in the same second as the success before it.
    once.lastResult = "no valid reply";
    EXPECT_EQ(syncHealth(once, noon), SyncHealth::stale);

    EXPECT_EQ(statusExitCode(SyncHealth::synchronised), 0);
    EXPECT_EQ(statusExitCode(SyncHealth::stale), 1);
    EXPECT_EQ(statusExitCode(SyncHealth::never), 1);
    EXPECT_EQ(statusExitCode(SyncHealth::noRecord), 2);
}

TEST(PendraStatus, OneLineSaysWhatAPersonWantsToKnow) {
    StatusRecord record = synchronisedAt(noon);
    EXPECT_EQ(statusLine(record, noon + 5, utcClock),
              "Synchronised 12:00:00 from 2001:db8::7, offset +0.4 ms");
    // What rounds to zero shows no minus.
    record.offsetMilliseconds = -0.04;
    EXPECT_EQ(statusLine(record, noon + 5, utcClock),
              "Synchronised 12:00:00 from 2001:db8::7, offset +0.0 ms");
    // Said where the server proved the time; plain SNTP reads as it always did.
    record.authentication = "NTS";
    EXPECT_EQ(statusLine(record, noon + 5, utcClock),
              "Synchronised 12:00:00 from 2001:db8::7, authenticated (NTS), offset +0.0 ms");
    EXPECT_EQ(readBack(stored(record)).authentication, "NTS");
    EXPECT_NE(statusReport(record, noon + 5)
                  .find("Authentication: NTS: the server proved the time by its certificate"),
              std::string::npos);
    record.authentication = "none";
    EXPECT_EQ(statusLine(record, noon + 5, utcClock),
              "Synchronised 12:00:00 from 2001:db8::7, offset +0.0 ms");
    record.lastPoll = noon + 2700;
    record.nextPoll = noon + 3600;
    record.failedPolls = 3;
    record.lastResult = "no valid reply";
    EXPECT_EQ(statusLine(record, noon + 2705, utcClock), "No valid reply since 12:00:00, 3 polls");
    // No poll within two intervals: the service is not running.
    EXPECT_EQ(statusLine(record, noon + 2700 + 1799, utcClock),
              "No valid reply since 12:00:00, 3 polls");
    EXPECT_EQ(statusLine(record, noon + 2700 + 1800, utcClock),
              "Pendra does not run: last poll 12:45:00");
    // A service that waits out a kiss-o'-death is waiting, not stopped; a poll every second
    // may take a while itself.
    StatusRecord slowed = record;
    slowed.pollSeconds = 57600;
    slowed.nextPoll = noon + 2700 + 57600;
    EXPECT_EQ(statusLine(slowed, noon + 2700 + 3 * 3600, utcClock),
              "No valid reply since 12:00:00, 3 polls");
    StatusRecord fast = record;
    fast.pollSeconds = 1;
    fast.nextPoll = noon + 2701;
    EXPECT_EQ(statusLine(fast, noon + 2700 + 100, utcClock),
              "No valid reply since 12:00:00, 3 polls");
    EXPECT_EQ(statusLine(fast, noon + 2701 + 120, utcClock),
              "Pendra does not run: last poll 12:45:00");
    EXPECT_EQ(statusLine(std::nullopt, noon, utcClock),
              "Pendra does not run: it has left no status on this computer");
    record.failedPolls = 0;
    record.lastResult = "offset of 7200 s refused";
    EXPECT_EQ(statusLine(record, noon + 2705, utcClock),
              "Last poll 12:45:00: offset of 7200 s refused");

    const std::string report = statusReport(synchronisedAt(noon), noon + 300);
    EXPECT_NE(report.find("Last success:  2026-12-08T12:00:00Z from pool.test (2001:db8::7)"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Offset:        +0.412 ms, delay 1.250 ms"), std::string::npos) << report;
    EXPECT_NE(report.find("Synchronised: the last success is 5 min old"), std::string::npos)
        << report;
}

// The metrics tell what the record tells, in the units and form that a scraper expects.
TEST(PendraStatus, TheMetricsCarryTheRecordWithTheServerAsLabel) {
    StatusRecord record = synchronisedAt(noon);
    record.server = "pool \"a\\b\"";
    record.failedPolls = 2;
    const std::string text = prometheusMetrics(record, noon + 5);
    for (const char* line :
         {"# TYPE pendra_synchronised gauge\npendra_synchronised{server=\"pool \\\"a\\\\b\\\"\"} "
          "1\n",
          "pendra_offset_seconds{server=\"pool \\\"a\\\\b\\\"\"} 0.000412\n",
          "pendra_delay_seconds{server=\"pool \\\"a\\\\b\\\"\"} 0.00125\n",
          "pendra_last_success_timestamp_seconds{server=\"pool \\\"a\\\\b\\\"\"} 1796731200\n",
          "\npendra_last_poll_timestamp_seconds 1796731200\n", "\npendra_failed_polls 2\n",
          "\npendra_poll_interval_seconds 900\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    // Never synchronised: the values it has not are left out, and it is not synchronised.
    StatusRecord never;
    never.lastPoll = noon;
    const std::string none = prometheusMetrics(never, noon);
    EXPECT_NE(none.find("\npendra_synchronised 0\n"), std::string::npos) << none;
    EXPECT_EQ(none.find("\npendra_offset_seconds"), std::string::npos) << none;
    EXPECT_NE(none.find("# HELP pendra_offset_seconds "), std::string::npos) << none;
    // A stopped service keeps nothing synchronised; a server name in a code page that is no
    // UTF-8 must not make the whole file unreadable, one in UTF-8 stays as it is.
    record.server = "caf\xe9";
    const std::string stopped = prometheusMetrics(record, noon + 5, false);
    EXPECT_NE(stopped.find("\npendra_synchronised{server=\"caf?\"} 0\n"), std::string::npos)
        << stopped;
    record.server = "caf\xc3\xa9";
    EXPECT_NE(prometheusMetrics(record, noon + 5).find("{server=\"caf\xc3\xa9\"} 1\n"),
              std::string::npos);
}

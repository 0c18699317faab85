// Pendra's settings as they stand under HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client, each
// described once: Pendra reads them, Klemora edits most of them, the installer package writes
// them and its Group Policy templates describe them, and all take the names, types, ranges and
// defaults from here. A new setting is one entry below plus what each program does with it.
#pragma once

#include "common/RegistryTypes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

namespace pendra_settings {

// The settings key under HKEY_LOCAL_MACHINE, and Group Policy's key beside it, whose values, of
// the same names and types, override the settings key's.
inline constexpr const char* settingsKey = "Software\\Tarnwick\\NTP Client";
inline constexpr const char* policyKey = "Software\\Policies\\Tarnwick\\NTP Client";

enum class Shape {
    folder, // the program's own folder, REG_SZ
    server, // a host name or address, REG_SZ
    path,   // a folder, REG_SZ or REG_EXPAND_SZ
    flag,   // a REG_DWORD, on whenever it is not 0
    number, // a REG_DWORD from least to most
    file,   // a file's full path, REG_SZ; empty means none
};

// How Pendra reads the value when it starts.
enum class Reading {
    unread,      // not at all
    required,    // missing or of another type, it ends the service with a configuration error
    conditional, // required while the flag named by `condition` is on; not read otherwise
    optional,    // a number is a REG_DWORD of at most four bytes; anything else leaves `absent`
    strict,      // optional, but one that is there must be a four-byte REG_DWORD in range
};

constexpr std::uint32_t anyNumber = std::numeric_limits<std::uint32_t>::max();

struct Setting {
    const char* name;
    Shape shape;
    Reading reading;
    // Numbers and flags, in the stored unit: the range a program accepts, what Pendra takes
    // when an optional value is missing, and what a new installation gets.
    std::uint32_t least = 0;
    std::uint32_t most = 0;
    std::uint32_t absent = 0;
    std::uint32_t initial = 0;
    const char* condition = nullptr;
    // The installer's public property, or none; the stored value is the property's value
    // times propertyUnit, whose name the property's message gives.
    const char* property = nullptr;
    std::uint32_t propertyUnit = 1;
    const char* unitName = "";
    // The stored number's unit, as the policy templates name it.
    const char* storedUnitName = nullptr;
    bool editedByKlemora = false;
    // Whether an installation over settings that lack the value adds it; else it stays absent
    // there, so that an upgrade changes nothing that the user did not ask for.
    bool addedToKeptSettings = true;
    // For administrators, in the policy templates: a short title, and what the value does, its
    // unit and range in words, and what an absent value means.
    const char* title = "";
    const char* explanation = "";

    // The registry type that a program writes.
    constexpr std::uint32_t registryType() const {
        return shape == Shape::flag || shape == Shape::number ? registry_type::dword
                                                              : registry_type::string;
    }
    // The range of the installer's property, in its unit.
    constexpr std::uint32_t propertyLeast() const {
        return least / propertyUnit + (least % propertyUnit != 0 ? 1 : 0);
    }
    constexpr std::uint32_t propertyMost() const { return most / propertyUnit; }
};

// The largest whole number of units that fits, in the stored unit.
constexpr std::uint32_t wholeUnits(std::uint32_t unit) {
    return anyNumber / unit * unit;
}

inline constexpr Setting appRoot{
    .name = "AppRoot",
    .shape = Shape::folder,
    .reading = Reading::unread,
    .editedByKlemora = true,
    .title = "Program folder",
    .explanation = "The folder that Pendra and Klemora are installed in, ending with a backslash; "
                   "the installer package writes it, and Klemora finds its help there. Pendra "
                   "does not read it; absent, Klemora takes the folder it runs from."};
inline constexpr Setting ntpServerName{
    .name = "NTPServerName",
    .shape = Shape::server,
    .reading = Reading::required,
    .property = "NTPSERVER",
    .editedByKlemora = true,
    .title = "Time servers",
    .explanation = "The time servers that Pendra asks: a host name, an IPv4 address or an IPv6 "
                   "address, or several of them separated by blanks, in the order of preference. "
                   "Pendra does not start without it."};
inline constexpr Setting ntpPollMilliseconds{
    .name = "NTPPollMilliseconds",
    .shape = Shape::number,
    .reading = Reading::required,
    .least = 1,
    .most = wholeUnits(60000),
    .initial = 3600000,
    .property = "POLLMINUTES",
    .propertyUnit = 60000,
    .unitName = "minutes",
    .storedUnitName = "milliseconds",
    .editedByKlemora = true,
    .title = "Poll interval",
    .explanation = "The time from one poll of the servers to the next, in milliseconds (60000 is a "
                   "minute), from one millisecond to about 49 days. Pendra does not start "
                   "without it."};
inline constexpr Setting runOnce{
    .name = "RunOnce",
    .shape = Shape::flag,
    .reading = Reading::required,
    .most = 1,
    .property = "RUNONCE",
    .editedByKlemora = true,
    .title = "Set the clock once",
    .explanation = "1 makes Pendra set the clock once and then end; 0 keeps it running, polling "
                   "the servers at every interval. Pendra does not start without it."};
inline constexpr Setting maxAdjustSeconds{
    .name = "MaxAdjustSeconds",
    .shape = Shape::number,
    .reading = Reading::optional,
    .most = anyNumber,
    .property = "MAXADJUST",
    .unitName = "seconds",
    .storedUnitName = "seconds",
    .editedByKlemora = true,
    .title = "Largest correction",
    .explanation = "The plausibility limit, in seconds: an offset of more whole seconds than this "
                   "is refused and the clock left as it is. 0 or an absent value sets no limit."};
inline constexpr Setting writeLogEntries{
    .name = "WriteLogEntries",
    .shape = Shape::flag,
    .reading = Reading::required,
    .most = 1,
    .initial = 1,
    .property = "LOGGING",
    .editedByKlemora = true,
    .title = "Write log files",
    .explanation = "1 makes Pendra write a log file a day into LogDirectory; 0 writes none. "
                   "Pendra does not start without it."};
inline constexpr Setting logDirectory{
    .name = "LogDirectory",
    .shape = Shape::path,
    .reading = Reading::conditional,
    .condition = "WriteLogEntries",
    .property = "LOGDIR",
    .editedByKlemora = true,
    .title = "Log folder",
    .explanation = "The folder of the log files, on a drive or a share (D:\\Logs or "
                   "\\\\server\\share\\Logs); as a REG_EXPAND_SZ it may use environment variables "
                   "such as %ProgramData%. While WriteLogEntries is 1, Pendra does not start "
                   "without it."};
inline constexpr Setting waitForRas{
    .name = "WaitForRAS",
    .shape = Shape::flag,
    .reading = Reading::required,
    .most = 1,
    .property = "WAITFORRAS",
    .editedByKlemora = true,
    .title = "Wait for a dial-up connection",
    .explanation = "1 makes Pendra wait before each poll until a dial-up (RAS) connection is up, "
                   "looking every RASPollMilliseconds; 0 polls without waiting. Pendra does not "
                   "start without it."};
inline constexpr Setting rasPollMilliseconds{
    .name = "RASPollMilliseconds",
    .shape = Shape::number,
    .reading = Reading::conditional,
    .least = 1,
    .most = wholeUnits(1000),
    .initial = 60000,
    .condition = "WaitForRAS",
    .property = "RASPOLLSECONDS",
    .propertyUnit = 1000,
    .unitName = "seconds",
    .storedUnitName = "milliseconds",
    .editedByKlemora = true,
    .title = "Dial-up check interval",
    .explanation = "How often Pendra looks for a dial-up connection while it waits for one, in "
                   "milliseconds (1000 is a second), from one millisecond to about 49 days. While "
                   "WaitForRAS is 1, Pendra does not start without it."};
inline constexpr Setting logFileCount{
    .name = "LogFileCount",
    .shape = Shape::number,
    .reading = Reading::optional,
    .most = anyNumber,
    .initial = 7,
    .property = "LOGFILES",
    .unitName = "files",
    .storedUnitName = "files",
    .title = "Log files kept",
    .explanation = "How many of its daily log files Pendra keeps; it deletes the oldest beyond "
                   "this number. 0 or 1 keeps every file, and so does an absent value."};
inline constexpr Setting ntpServerPort{
    .name = "NTPServerPort",
    .shape = Shape::number,
    .reading = Reading::optional,
    .least = 1,
    .most = 65535,
    .absent = 123,
    .initial = 123,
    .property = "NTPPORT",
    .unitName = "a port",
    .storedUnitName = "UDP port number",
    .title = "Server port",
    .explanation = "The UDP port that the servers answer on, from 1 to 65535; Pendra sends from "
                   "the same port where no other program holds it. Absent means 123, the port "
                   "of NTP."};
inline constexpr Setting ntpSamples{
    .name = "NTPSamples",
    .shape = Shape::number,
    .reading = Reading::strict,
    .least = 1,
    .most = 8,
    .absent = 1,
    .initial = 1,
    .property = "NTPSAMPLES",
    .unitName = "samples",
    .storedUnitName = "samples",
    .title = "Samples per poll",
    .explanation = "How many exchanges a poll makes, 2 seconds apart, from 1 to 8; the clock is "
                   "set from the valid one with the least round-trip delay. Absent means 1; any "
                   "other value, or one that is not a REG_DWORD, stops Pendra at its start."};

// Above 0, offsets up to this many milliseconds are slewed and the clock's frequency is kept;
// 0 steps every correction, as the service always did.
inline constexpr Setting maxSlewMilliseconds{
    .name = "MaxSlewMilliseconds",
    .shape = Shape::number,
    .reading = Reading::strict,
    .least = 0,
    .most = 60000,
    .absent = 0,
    .initial = 1000,
    .property = "MAXSLEW",
    .unitName = "milliseconds",
    .storedUnitName = "milliseconds",
    .addedToKeptSettings = false,
    .title = "Largest offset slewed",
    .explanation = "Offsets of up to this many milliseconds, from 0 to 60000 (a minute), are "
                   "slewed: the clock runs a little faster or slower until the offset is gone, and "
                   "Pendra keeps its rate right between polls. Larger offsets are stepped; 0 or an "
                   "absent value steps every correction, and a value outside the range, or one "
                   "that is not a REG_DWORD, stops Pendra at its start."};

// Absent or empty, Pendra writes no metrics.
inline constexpr Setting metricsFile{
    .name = "MetricsFile",
    .shape = Shape::file,
    .reading = Reading::optional,
    .property = "METRICSFILE",
    .title = "Metrics file",
    .explanation = "The full path of a file, on a drive or a share (for example "
                   "C:\\ProgramData\\windows_exporter\\textfile_inputs\\pendra.prom), that Pendra "
                   "rewrites after every poll with its state in the Prometheus text format, for "
                   "windows_exporter's textfile collector. Absent or empty, Pendra writes no "
                   "metrics."};

// Off unless asked for, also through an upgrade: a server that offers no NTS would no longer
// set the clock.
inline constexpr Setting useNts{
    .name = "UseNTS",
    .shape = Shape::flag,
    .reading = Reading::strict,
    .least = 0,
    .most = 1,
    .absent = 0,
    .initial = 0,
    .property = "NTS",
    .addedToKeptSettings = false,
    .title = "Network Time Security",
    .explanation = "1 makes Pendra ask every server of NTPServerName by Network Time Security (RFC "
                   "8915): a key exchange over TLS on TCP port 4460 proves the server by its "
                   "certificate, and Pendra sets the clock only from replies that carry the "
                   "server's authenticator. 0 or an absent value asks by plain SNTP; a value "
                   "other than 0 or 1, or one that is not a REG_DWORD, stops Pendra at its "
                   "start."};

// Absent or empty, the machine's trusted roots alone prove NTS servers.
inline constexpr Setting ntsTrustedCertificates{
    .name = "NTSTrustedCertificates",
    .shape = Shape::file,
    .reading = Reading::optional,
    .property = "NTSCERTS",
    .title = "Further trusted certificates for NTS",
    .explanation = "The full path of a PEM file, on a drive or a share (for example "
                   "C:\\ProgramData\\Tarnwick\\Pendra\\nts-ca.pem), of CA certificates that "
                   "Pendra trusts for NTS servers beside the machine's trusted root certificates "
                   "(the ROOT store, so an enterprise CA there needs no file). Absent or empty, "
                   "only the machine's trusted roots are used."};

// Every setting, in the order in which the package writes and logs them.
inline constexpr std::array<const Setting*, 16> all{
    &appRoot,
    &ntpServerName,
    &ntpPollMilliseconds,
    &runOnce,
    &maxAdjustSeconds,
    &writeLogEntries,
    &logDirectory,
    &waitForRas,
    &rasPollMilliseconds,
    &logFileCount,
    &ntpServerPort,
    &ntpSamples,
    &maxSlewMilliseconds,
    &metricsFile,
    &useNts,
    &ntsTrustedCertificates,
};

} // namespace pendra_settings

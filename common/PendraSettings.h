// Pendra's settings as they stand under HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client, each
// described once: Pendra reads them, Klemora edits most of them and the installer package
// writes them, and all three take the names, types, ranges and defaults from here. A new setting
// is one entry below plus what each program does with it.
#pragma once

#include "common/RegistryTypes.h"

#include <array>
#include <cstdint>
#include <limits>

namespace pendra_settings {

enum class Shape {
    folder, // the program's own folder, REG_SZ
    server, // a host name or address, REG_SZ
    path,   // a folder, REG_SZ or REG_EXPAND_SZ
    flag,   // a REG_DWORD, on whenever it is not 0
    number, // a REG_DWORD from least to most
};

// How Pendra reads the value when it starts.
enum class Reading {
    unread,      // not at all
    required,    // missing or of another type, it ends the service with a configuration error
    conditional, // required while the flag named by `condition` is on; not read otherwise
    optional,    // counts as a REG_DWORD of at most four bytes; anything else leaves `absent`
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
    bool editedByKlemora = false;
    // Whether an installation over settings that lack the value adds it; else it stays absent
    // there, so that an upgrade changes nothing that the user did not ask for.
    bool addedToKeptSettings = true;

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
    .name = "AppRoot", .shape = Shape::folder, .reading = Reading::unread, .editedByKlemora = true};
inline constexpr Setting ntpServerName{.name = "NTPServerName",
                                       .shape = Shape::server,
                                       .reading = Reading::required,
                                       .property = "NTPSERVER",
                                       .editedByKlemora = true};
inline constexpr Setting ntpPollMilliseconds{.name = "NTPPollMilliseconds",
                                             .shape = Shape::number,
                                             .reading = Reading::required,
                                             .least = 1,
                                             .most = wholeUnits(60000),
                                             .initial = 3600000,
                                             .property = "POLLMINUTES",
                                             .propertyUnit = 60000,
                                             .unitName = "minutes",
                                             .editedByKlemora = true};
inline constexpr Setting runOnce{.name = "RunOnce",
                                 .shape = Shape::flag,
                                 .reading = Reading::required,
                                 .most = 1,
                                 .property = "RUNONCE",
                                 .editedByKlemora = true};
inline constexpr Setting maxAdjustSeconds{.name = "MaxAdjustSeconds",
                                          .shape = Shape::number,
                                          .reading = Reading::optional,
                                          .most = anyNumber,
                                          .property = "MAXADJUST",
                                          .unitName = "seconds",
                                          .editedByKlemora = true};
inline constexpr Setting writeLogEntries{.name = "WriteLogEntries",
                                         .shape = Shape::flag,
                                         .reading = Reading::required,
                                         .most = 1,
                                         .initial = 1,
                                         .property = "LOGGING",
                                         .editedByKlemora = true};
inline constexpr Setting logDirectory{.name = "LogDirectory",
                                      .shape = Shape::path,
                                      .reading = Reading::conditional,
                                      .condition = "WriteLogEntries",
                                      .property = "LOGDIR",
                                      .editedByKlemora = true};
inline constexpr Setting waitForRas{.name = "WaitForRAS",
                                    .shape = Shape::flag,
                                    .reading = Reading::required,
                                    .most = 1,
                                    .property = "WAITFORRAS",
                                    .editedByKlemora = true};
inline constexpr Setting rasPollMilliseconds{.name = "RASPollMilliseconds",
                                             .shape = Shape::number,
                                             .reading = Reading::conditional,
                                             .least = 1,
                                             .most = wholeUnits(1000),
                                             .initial = 60000,
                                             .condition = "WaitForRAS",
                                             .property = "RASPOLLSECONDS",
                                             .propertyUnit = 1000,
                                             .unitName = "seconds",
                                             .editedByKlemora = true};
inline constexpr Setting logFileCount{.name = "LogFileCount",
                                      .shape = Shape::number,
                                      .reading = Reading::optional,
                                      .most = anyNumber,
                                      .initial = 7,
                                      .property = "LOGFILES",
                                      .unitName = "files"};
inline constexpr Setting ntpServerPort{.name = "NTPServerPort",
                                       .shape = Shape::number,
                                       .reading = Reading::optional,
                                       .least = 1,
                                       .most = 65535,
                                       .absent = 123,
                                       .initial = 123,
                                       .property = "NTPPORT",
                                       .unitName = "a port"};
inline constexpr Setting ntpSamples{.name = "NTPSamples",
                                    .shape = Shape::number,
                                    .reading = Reading::strict,
                                    .least = 1,
                                    .most = 8,
                                    .absent = 1,
                                    .initial = 1,
                                    .property = "NTPSAMPLES",
                                    .unitName = "samples"};

// Above 0, offsets up to this many milliseconds are slewed and the clock's frequency is kept;
// 0 steps every correction, as the service always did.
inline constexpr Setting maxSlewMilliseconds{.name = "MaxSlewMilliseconds",
                                             .shape = Shape::number,
                                             .reading = Reading::strict,
                                             .least = 0,
                                             .most = 60000,
                                             .absent = 0,
                                             .initial = 1000,
                                             .property = "MAXSLEW",
                                             .unitName = "milliseconds",
                                             .addedToKeptSettings = false};

// Every setting, in the order in which the package writes and logs them.
inline constexpr std::array<const Setting*, 13> all{
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
};

} // namespace pendra_settings

// The settings of the time service, read once at start from
// HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ServiceConfiguration {
    bool writeLogEntries = false;
    std::optional<std::string> logDirectory;
    bool waitForRas = false;
    std::uint32_t rasPollMilliseconds = 0;
    bool runOnce = false;
    std::string serverName;
    std::uint32_t ntpPollMilliseconds = 0;
    std::uint16_t serverPort = 123;
    std::uint32_t maxAdjustSeconds = 0;
    std::uint32_t logFileCount = 0;
    // Exchanges per poll; the one with the least delay sets the clock.
    std::uint32_t samples = 1;
    // Offsets up to this are slewed; 0 steps every correction.
    std::uint32_t maxSlewMilliseconds = 0;
    // Where the metrics for a monitoring agent go after every poll; none without.
    std::optional<std::string> metricsFile;
    // Why a MetricsFile that stands there is not used; empty when it is, or is absent.
    std::string metricsFileIgnored;
    // Whether every server is asked by Network Time Security.
    bool useNts = false;
    // A PEM file of CA certificates trusted for NTS beside the machine's roots; none without.
    std::optional<std::string> ntsTrustedCertificates;
    // Why an NTSTrustedCertificates that stands there is not used; empty when it is, or is absent.
    std::string ntsTrustedCertificatesIgnored;
    // The names of the values read from the policy key, in the order they were read.
    std::vector<std::string> fromPolicy;
};

// Resets logDirectory, writeLogEntries, serverPort, maxAdjustSeconds, samples,
// maxSlewMilliseconds, useNts and the two files to their defaults, then reads the values in
// their fixed order. Raises SimpleException with one of the four configuration messages, or
// the one for a bad strict number; what was read before a failure stays in config.
void readServiceConfiguration(ServiceConfiguration& config);

// What a query of a server takes from the settings, by the same rules and from the same keys:
// serverPort, useNts and ntsTrustedCertificates (with its reason where it is set aside). Either
// key may be absent (the defaults). Raises SimpleException for a bad strict number, as the
// service would at its start.
void readQueryConfiguration(ServiceConfiguration& config);

// The names of the settings whose values differ between two readings, in the description's
// order.
std::vector<std::string> changedSettings(const ServiceConfiguration& before,
                                         const ServiceConfiguration& after);

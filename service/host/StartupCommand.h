// The command line of Pendra: the first word picks an administrative action or the start of
// the program. Portable: the Windows entry point supplies a StartupHost, tests a recording one.
#pragma once

#include "common/PendraStatus.h"

#include <cstdint>
#include <optional>
#include <string>

// What the entry point needs from the system. Message boxes have no owner and the caption
// "Pendra"; flags are MB_OK (0) or MB_ICONWARNING (0x30).
class StartupHost {
public:
    virtual ~StartupHost() = default;
    virtual bool isWindowsNT() const = 0;
    virtual bool install() = 0; // as a service that starts automatically
    virtual bool uninstall() = 0;
    virtual bool start() = 0; // service mode or tray mode; false when it could not run
    virtual void showMessage(const char* text, unsigned flags) = 0;
    virtual void writeStandardError(const char* text) = 0;
    // Text for whoever started the program: its output or console; a box where there is none.
    virtual void writeOutput(const char* text) = 0;
    // The status record that the service leaves; none when there is none.
    virtual std::optional<StatusRecord> readStatus() = 0;
    virtual UnixSeconds now() = 0;
    // The Windows Time service's type while it runs and synchronises this clock too.
    virtual std::optional<std::string> otherTimeService() { return std::nullopt; }
    // Asks a server without setting the clock, each line to the output: 0, 1 or 2 as
    // SyncService::query. nts: by NTS whatever the settings say; else as UseNTS says.
    virtual int query(const std::string& server, std::uint32_t samples, bool nts) = 0;
    // The TLS library that NTS uses, with its version; empty where there is none.
    virtual std::string tlsLibrary() { return {}; }
};

// How many samples -query takes without a number, and the most it takes.
constexpr std::uint32_t defaultQuerySamples = 4;
constexpr std::uint32_t maximumQuerySamples = 20;

constexpr unsigned messageOk = 0x00;      // MB_OK
constexpr unsigned messageWarning = 0x30; // MB_ICONWARNING

// The first word of the command line, or empty when there is none (no line, or blanks only);
// a slash as its first or second character counts as a hyphen.
std::string commandArgument(const char* commandLine);

// Carries out the command line and returns the exit code: 0 or 2; for -status 0 synchronised,
// 1 not, 2 no record.
int runCommandLine(const char* commandLine, StartupHost& host);

extern const char* const usageText;
std::string versionText();

// The image path to register: quoted, with every backslash and quote escaped, when the path
// holds a blank, a tab or a double quote; else unchanged.
std::string serviceImagePath(const std::string& modulePath);

// A StartupHost that records what the command line asked of it, for the unit tests and the
// fuzz harness of the command line.
#pragma once

#include "service/host/StartupCommand.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct RecordedMessage {
    std::string text;
    unsigned flags;
    bool operator==(const RecordedMessage&) const = default;
};

class RecordingStartupHost : public StartupHost {
public:
    bool windowsNT = true;
    bool installResult = true;
    bool uninstallResult = true;
    bool startResult = true;

    std::vector<RecordedMessage> messages;
    std::vector<std::string> standardError;
    int installCalls = 0;
    int uninstallCalls = 0;
    int startCalls = 0;

    bool isWindowsNT() const override { return windowsNT; }
    bool install() override {
        ++installCalls;
        return installResult;
    }
    bool uninstall() override {
        ++uninstallCalls;
        return uninstallResult;
    }
    bool start() override {
        ++startCalls;
        return startResult;
    }
    void showMessage(const char* text, unsigned flags) override {
        messages.push_back({text, flags});
    }
    void writeStandardError(const char* text) override { standardError.emplace_back(text); }
    std::vector<std::string> output;
    std::optional<StatusRecord> status;
    UnixSeconds time = 0;
    void writeOutput(const char* text) override { output.emplace_back(text); }
    std::optional<StatusRecord> readStatus() override { return status; }
    UnixSeconds now() override { return time; }
    std::vector<std::pair<std::string, std::uint32_t>> queries;
    std::vector<bool> ntsQueries;
    int queryResult = 0;
    int query(const std::string& server, std::uint32_t samples, bool nts) override {
        queries.emplace_back(server, samples);
        ntsQueries.push_back(nts);
        return queryResult;
    }
    std::string library;
    std::string tlsLibrary() override { return library; }
};

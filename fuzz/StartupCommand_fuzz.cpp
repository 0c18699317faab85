// Pendra's command line: the first word, what runCommandLine does with it on a recording host,
// and the image path registered for the service.
//
// Input: a flag byte (bit 0: Windows NT; bits 1-3: what install, uninstall and start return;
// bit 4: no command line at all; bits 5-7: the status record that -status finds and, modulo 3,
// what a query returns), the module path (length byte and text), then the command line up to
// the end (cut at a NUL, as a C string is).
#include "fuzz/FuzzInput.h"
#include "service/host/StartupCommand.h"
#include "tests/support/RecordingStartupHost.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMessageCapacity = 4096; // the entry point's buffer with the terminator

using RecordingHost = RecordingStartupHost;

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::vector<std::string> blankSeparated(const std::string& line) {
    std::vector<std::string> words;
    std::size_t end = 0;
    while (end < line.size()) {
        std::size_t begin = end;
        while (begin < line.size() && isBlank(line[begin]))
            ++begin;
        end = begin;
        while (end < line.size() && !isBlank(line[end]))
            ++end;
        if (end > begin)
            words.push_back(line.substr(begin, end - begin));
    }
    return words;
}

// The first blank-separated word, a slash in its first two places read as a hyphen.
std::string firstWord(const std::string& line) {
    const std::vector<std::string> words = blankSeparated(line);
    std::string word = words.empty() ? std::string() : words[0];
    for (std::size_t i = 0; i < 2 && i < word.size(); ++i) {
        if (word[i] == '/')
            word[i] = '-';
    }
    return word;
}

bool isKnownOption(const std::string& word) {
    for (const char* option :
         {"-help", "-h", "-H", "-?", "-version", "-v", "-V", "-install", "-installq", "-i", "-I",
          "-remove", "-removeq", "-r", "-R", "-query", "-status"}) {
        if (word == option)
            return true;
    }
    return false;
}

constexpr UnixSeconds kNow = 1800000000;

// What -status finds, and the exit code that a script must get for it.
struct StatusCase {
    std::optional<StatusRecord> record;
    int exitCode;
};

StatusCase statusCase(unsigned choice) {
    StatusRecord record;
    record.lastPoll = kNow - 60;
    record.lastResult = resultSynchronised;
    record.pollSeconds = 3600;
    switch (choice) {
    case 0:
        return {std::nullopt, 2};
    case 1: // polled, never with success
        record.lastResult = "no valid reply";
        return {record, 1};
    case 2: // a second younger than twice the interval
        record.lastSuccess = kNow - 7199;
        return {record, 0};
    case 3: // just twice the interval: too old
        record.lastSuccess = kNow - 7200;
        return {record, 1};
    case 4: // a single run that succeeded, however long ago
        record.runOnce = true;
        record.lastSuccess = kNow - 90000;
        return {record, 0};
    case 5: // a single run that failed after an earlier success
        record.runOnce = true;
        record.lastSuccess = kNow - 60;
        record.lastResult = "no valid reply";
        return {record, 1};
    case 6: // a record without a readable time of a poll
        record.lastPoll.reset();
        record.unreadable = {"LastPoll"};
        return {record, 2};
    default: // a single run that never succeeded
        record.runOnce = true;
        record.lastResult = "no valid reply";
        return {record, 1};
    }
}

// The report ends with the verdict that the exit code gives.
bool endsWithVerdict(const std::string& report, int exitCode) {
    const char* const verdicts[] = {"Synchronised", "Not synchronised", "No "};
    if (report.empty() || report.back() != '\n')
        return false;
    const std::size_t lastLine = report.find_last_of('\n', report.size() - 2);
    return report.compare(lastLine == std::string::npos ? 0 : lastLine + 1,
                          std::string(verdicts[exitCode]).size(), verdicts[exitCode]) == 0;
}

// A whole number from 1 to 20, leading zeros allowed.
std::optional<std::uint32_t> sampleCount(const std::string& word) {
    std::uint32_t count = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        count = count * 10 + static_cast<std::uint32_t>(c - '0');
        if (count > maximumQuerySamples)
            return std::nullopt;
    }
    return count >= 1 ? std::optional<std::uint32_t>(count) : std::nullopt;
}

// -query SERVER [SAMPLES]: the host asks SERVER for a valid count (4 unless given) and its
// result is the exit code; anything else is one text to the output and exit 2, no query.
void checkQuery(const std::string& line, const RecordingHost& host, int exitCode) {
    const std::vector<std::string> words = blankSeparated(line);
    std::optional<std::uint32_t> samples;
    if (words.size() == 2)
        samples = defaultQuerySamples;
    else if (words.size() == 3)
        samples = sampleCount(words[2]);
    if (!samples) {
        FUZZ_CHECK(exitCode == 2 && host.queries.empty() && host.output.size() == 1);
        // A refused count is named, cut to 64 characters.
        FUZZ_CHECK(words.size() != 3 ||
                   host.output[0].find('"' + words[2].substr(0, 64) + '"') != std::string::npos);
        return;
    }
    FUZZ_CHECK(host.output.empty() && exitCode == host.queryResult);
    FUZZ_CHECK(host.queries.size() == 1 && host.queries[0].first == words[1] &&
               host.queries[0].second == *samples);
}

// host is fresh: no call recorded yet; statusExit is what its status record must give.
void checkCommandLine(const char* commandLine, RecordingHost& host, int statusExit) {
    const std::string word = commandLine == nullptr ? std::string() : firstWord(commandLine);
    FUZZ_CHECK(commandArgument(commandLine) == word);

    const int exitCode = runCommandLine(commandLine, host);
    FUZZ_CHECK(exitCode >= 0 && exitCode <= 2);
    for (const RecordedMessage& message : host.messages) {
        FUZZ_CHECK(message.flags == messageOk || message.flags == messageWarning);
        FUZZ_CHECK(message.text.size() < kMessageCapacity);
    }
    // One answer at most: a box, a line on standard error or a text to the output.
    FUZZ_CHECK(host.messages.size() + host.standardError.size() + host.output.size() <= 1);
    FUZZ_CHECK(host.installCalls <= 1 && host.uninstallCalls <= 1);
    FUZZ_CHECK(host.windowsNT || (host.installCalls == 0 && host.uninstallCalls == 0));
    // Only -query asks a server; only it and -status write to the output.
    FUZZ_CHECK(word == "-query" || host.queries.empty());
    FUZZ_CHECK(word == "-query" || word == "-status" || host.output.empty());

    if (word.empty()) {
        FUZZ_CHECK(host.startCalls == 1 && exitCode == (host.startResult ? 0 : 2));
        FUZZ_CHECK(host.messages.empty() && host.standardError.empty());
        FUZZ_CHECK(host.installCalls == 0 && host.uninstallCalls == 0);
        return;
    }
    FUZZ_CHECK(host.startCalls == 0);
    if (word == "-query" || word == "-status") {
        FUZZ_CHECK(host.messages.empty() && host.standardError.empty());
        FUZZ_CHECK(host.installCalls == 0 && host.uninstallCalls == 0);
        if (word == "-query") {
            checkQuery(commandLine, host, exitCode);
        } else {
            FUZZ_CHECK(exitCode == statusExit && host.output.size() == 1);
            FUZZ_CHECK(endsWithVerdict(host.output[0], exitCode));
        }
        return;
    }
    FUZZ_CHECK(exitCode == 0 || exitCode == 2);
    if (!isKnownOption(word)) {
        FUZZ_CHECK(exitCode == 2 && host.messages.size() == 1);
        FUZZ_CHECK(host.messages[0].flags == messageWarning);
        const std::string expected = "Unrecognized argument: " + word;
        FUZZ_CHECK(host.messages[0].text == expected.substr(0, kMessageCapacity - 1));
        FUZZ_CHECK(host.installCalls == 0 && host.uninstallCalls == 0);
    }
}

// Unchanged unless it holds a blank, a tab or a quote; then quoted, and taking back every
// backslash escape inside the quotes gives the path again.
void checkImagePath(const std::string& path) {
    const std::string image = serviceImagePath(path);
    if (path.find_first_of(" \t\"") == std::string::npos) {
        FUZZ_CHECK(image == path);
        return;
    }
    FUZZ_CHECK(image.size() >= 2 && image.front() == '"' && image.back() == '"');
    std::string unescaped;
    for (std::size_t i = 1; i + 1 < image.size(); ++i) {
        FUZZ_CHECK(image[i] != '"'); // every quote inside is escaped
        if (image[i] == '\\') {
            ++i;
            FUZZ_CHECK(i + 1 < image.size());
        }
        unescaped += image[i];
    }
    FUZZ_CHECK(unescaped == path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t flags = input.byte();
    RecordingHost host;
    host.windowsNT = (flags & 1) != 0;
    host.installResult = (flags & 2) != 0;
    host.uninstallResult = (flags & 4) != 0;
    host.startResult = (flags & 8) != 0;
    const bool noLine = (flags & 16) != 0;
    const StatusCase status = statusCase(flags >> 5);
    host.status = status.record;
    host.time = kNow;
    host.queryResult = (flags >> 5) % 3;

    checkImagePath(input.shortText());
    const std::string line = input.rest();
    checkCommandLine(noLine ? nullptr : line.c_str(), host, status.exitCode);
    return 0;
}

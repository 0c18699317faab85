// Pendra's command line: the first word, what runCommandLine does with it on a recording host,
// and the image path registered for the service.
//
// Input: a flag byte (bit 0: Windows NT; bits 1-3: what install, uninstall and start return;
// bit 4: no command line at all), the module path (length byte and text), then the command
// line up to the end (cut at a NUL, as a C string is).
#include "fuzz/FuzzInput.h"
#include "service/host/StartupCommand.h"
#include "tests/support/RecordingStartupHost.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMessageCapacity = 4096; // the entry point's buffer with the terminator

using RecordingHost = RecordingStartupHost;

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The first blank-separated word, a slash in its first two places read as a hyphen.
std::string firstWord(const std::string& line) {
    std::size_t begin = 0;
    while (begin < line.size() && isBlank(line[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < line.size() && !isBlank(line[end]))
        ++end;
    std::string word = line.substr(begin, end - begin);
    for (std::size_t i = 0; i < 2 && i < word.size(); ++i) {
        if (word[i] == '/')
            word[i] = '-';
    }
    return word;
}

bool isKnownOption(const std::string& word) {
    for (const char* option : {"-help", "-h", "-H", "-?", "-version", "-v", "-V", "-install",
                               "-installq", "-i", "-I", "-remove", "-removeq", "-r", "-R"}) {
        if (word == option)
            return true;
    }
    return false;
}

// host is fresh: no call recorded yet.
void checkCommandLine(const char* commandLine, RecordingHost& host) {
    const std::string word = commandLine == nullptr ? std::string() : firstWord(commandLine);
    FUZZ_CHECK(commandArgument(commandLine) == word);

    const int exitCode = runCommandLine(commandLine, host);
    FUZZ_CHECK(exitCode == 0 || exitCode == 2);
    for (const RecordedMessage& message : host.messages) {
        FUZZ_CHECK(message.flags == messageOk || message.flags == messageWarning);
        FUZZ_CHECK(message.text.size() < kMessageCapacity);
    }
    // One answer at most: a box or a line on standard error.
    FUZZ_CHECK(host.messages.size() + host.standardError.size() <= 1);
    FUZZ_CHECK(host.installCalls <= 1 && host.uninstallCalls <= 1);
    FUZZ_CHECK(host.windowsNT || (host.installCalls == 0 && host.uninstallCalls == 0));

    if (word.empty()) {
        FUZZ_CHECK(host.startCalls == 1 && exitCode == (host.startResult ? 0 : 2));
        FUZZ_CHECK(host.messages.empty() && host.standardError.empty());
        FUZZ_CHECK(host.installCalls == 0 && host.uninstallCalls == 0);
        return;
    }
    FUZZ_CHECK(host.startCalls == 0);
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

    checkImagePath(input.shortText());
    const std::string line = input.rest();
    checkCommandLine(noLine ? nullptr : line.c_str(), host);
    return 0;
}

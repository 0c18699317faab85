#include "service/host/StartupCommand.h"

#include "service/host/Revision.h"

#include <cctype>
#include <charconv>
#include <cstddef>
#include <initializer_list>
#include <system_error>
#include <vector>

namespace {

// The entry point's message buffer: 4096 characters including the terminator.
constexpr std::size_t messageCapacity = 4096;

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isOneOf(const std::string& argument, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (argument == name) {
            return true;
        }
    }
    return false;
}

int install(const std::string& argument, StartupHost& host) {
    if (!host.isWindowsNT()) {
        // A GUI program has no console; the text only shows when stderr is redirected.
        host.writeStandardError("-install not required on Windows 95/98\n");
        return 2;
    }
    if (!host.install()) {
        host.showMessage("Unable to install service - check privileges\n", messageWarning);
        return 2;
    }
    if (argument != "-installq") {
        host.showMessage("NTP service successfully installed\n", messageOk);
    }
    return 0;
}

int uninstall(const std::string& argument, StartupHost& host) {
    if (!host.isWindowsNT()) {
        host.showMessage("-remove not required on Windows 95\n", messageWarning);
        return 2;
    }
    if (!host.uninstall()) {
        host.showMessage("Unable to remove service - check privileges\n", messageWarning);
        return 2;
    }
    if (argument != "-removeq") {
        host.showMessage("NTP service successfully removed\n", messageOk);
    }
    return 0;
}

// The blank-separated words of the command line.
std::vector<std::string> commandWords(const char* commandLine) {
    std::vector<std::string> words;
    for (const char* c = commandLine; c != nullptr && *c != '\0';) {
        while (*c != '\0' && isBlank(*c)) {
            ++c;
        }
        const char* begin = c;
        while (*c != '\0' && !isBlank(*c)) {
            ++c;
        }
        if (c != begin) {
            words.emplace_back(begin, c);
        }
    }
    return words;
}

int query(const char* commandLine, StartupHost& host) {
    std::vector<std::string> words = commandWords(commandLine);
    const bool nts = words.size() > 1 && words[1] == "-nts";
    if (nts) {
        words.erase(words.begin() + 1);
    }
    if (words.size() < 2 || words.size() > 3) {
        host.writeOutput("usage: pendra -query [-nts] SERVER [SAMPLES]\n"
                         "asks SERVER for the time without setting the clock, by NTS with -nts or "
                         "where UseNTS is 1; SAMPLES from 1 to 20, 4 when not given\n");
        return 2;
    }
    std::uint32_t samples = defaultQuerySamples;
    if (words.size() == 3) {
        const std::string& text = words[2];
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), samples);
        if (error != std::errc() || end != text.data() + text.size() || samples < 1 ||
            samples > maximumQuerySamples) {
            host.writeOutput(("-query: SAMPLES is a whole number from 1 to 20, not \"" +
                              text.substr(0, 64) + "\"\n")
                                 .c_str());
            return 2;
        }
    }
    return host.query(words[1], samples, nts);
}

} // namespace

const char* const usageText =
    "Pendra - NTP time synchronization service\n"
    "usage: pendra [-help] [-install] [-remove] [-status] [-query [-nts] SERVER [SAMPLES]]\n"
    "\n"
    "-help          show this message and exit\n"
    "-install       install this as a service on windows NT\n"
    "-remove        remove this as a windows NT service\n"
    "-status        print the state of the last polls; exit 0 synchronised, 1 not, 2 none\n"
    "-query         ask SERVER for the time, SAMPLES times (1 to 20, 4 when not given),\n"
    "               without setting the clock; by NTS with -nts or where UseNTS is 1\n"
    "-version       print version information\n";

std::string versionText() {
    return std::string("Pendra version ") + pendraRevision +
           "\nCopyright (c) Tarnwick. Keeps the clock of this PC in step with a time server.\n";
}

std::string commandArgument(const char* commandLine) {
    if (commandLine == nullptr) {
        return {};
    }
    const char* begin = commandLine;
    while (*begin != '\0' && isBlank(*begin)) {
        ++begin;
    }
    const char* end = begin;
    while (*end != '\0' && !isBlank(*end)) {
        ++end;
    }
    std::string argument(begin, end);
    if (!argument.empty() && argument[0] == '/') {
        argument[0] = '-';
    }
    if (argument.size() > 1 && argument[1] == '/') {
        argument[1] = '-';
    }
    return argument;
}

int runCommandLine(const char* commandLine, StartupHost& host) {
    const std::string argument = commandArgument(commandLine);
    if (argument.empty()) {
        return host.start() ? 0 : 2;
    }
    if (isOneOf(argument, {"-help", "-h", "-H", "-?"})) {
        const std::string library = host.tlsLibrary();
        host.showMessage(
            (usageText + (library.empty() ? std::string() : "\nNTS uses " + library + ".\n"))
                .c_str(),
            messageOk);
        return 0;
    }
    if (isOneOf(argument, {"-version", "-v", "-V"})) {
        host.showMessage(versionText().c_str(), messageOk);
        return 0;
    }
    if (isOneOf(argument, {"-install", "-installq", "-i", "-I"})) {
        return install(argument, host);
    }
    if (isOneOf(argument, {"-remove", "-removeq", "-r", "-R"})) {
        return uninstall(argument, host);
    }
    if (argument == "-query") {
        return query(commandLine, host);
    }
    if (argument == "-status") {
        const std::optional<StatusRecord> record = host.readStatus();
        const UnixSeconds now = host.now();
        std::string report = statusReport(record, now);
        if (const auto type = host.otherTimeService()) {
            // Before the verdict, which stays the last line.
            const std::size_t verdict = report.rfind('\n', report.size() - 2) + 1;
            report.insert(verdict, "Windows Time:  runs and synchronises this clock too (Type " +
                                       *type + "); two services steering one clock fight\n");
        }
        host.writeOutput(report.c_str());
        return statusExitCode(syncHealth(record, now));
    }
    std::string message = "Unrecognized argument: " + argument;
    if (message.size() >= messageCapacity) {
        message.resize(messageCapacity - 1);
    }
    host.showMessage(message.c_str(), messageWarning);
    return 2;
}

std::string serviceImagePath(const std::string& modulePath) {
    bool needsQuotes = false;
    for (char c : modulePath) {
        if (c == ' ' || c == '\t' || c == '"') {
            needsQuotes = true;
            break;
        }
    }
    if (!needsQuotes) {
        return modulePath;
    }
    std::string quoted = "\"";
    for (char c : modulePath) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

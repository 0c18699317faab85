#include "service/host/StartupCommand.h"
#include "tests/support/RecordingStartupHost.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Message = RecordedMessage;
using RecordingHost = RecordingStartupHost;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Runs one command line on a fresh host and checks that it produced one box and no start.
Message onlyBox(const char* commandLine, int expectedExit, RecordingHost& host) {
    EXPECT_EQ(runCommandLine(commandLine, host), expectedExit) << commandLine;
    EXPECT_EQ(host.startCalls, 0) << commandLine;
    EXPECT_TRUE(host.standardError.empty()) << commandLine;
    EXPECT_EQ(host.messages.size(), 1u) << commandLine;
    return host.messages.empty() ? Message{} : host.messages.front();
}

Message onlyBox(const char* commandLine, int expectedExit) {
    RecordingHost host;
    return onlyBox(commandLine, expectedExit, host);
}

RecordingHost hostWith(bool windowsNT, bool result) {
    RecordingHost host;
    host.windowsNT = windowsNT;
    host.installResult = result;
    host.uninstallResult = result;
    return host;
}

const std::string usage =
    "Pendra - NTP time synchronization service\n"
    "usage: pendra [-help] [-install] [-remove] [-status] [-query [-nts] SERVER [SAMPLES]]\n\n"
    "-help          show this message and exit\n"
    "-install       install this as a service on windows NT\n"
    "-remove        remove this as a windows NT service\n"
    "-status        print the state of the last polls; exit 0 synchronised, 1 not, 2 none\n"
    "-query         ask SERVER for the time, SAMPLES times (1 to 20, 4 when not given),\n"
    "               without setting the clock; by NTS with -nts or where UseNTS is 1\n"
    "-version       print version information\n";

} // namespace

TEST(StartupCommandTexts, UsageTextIsExactWithDescriptionsInColumnSixteen) {
    EXPECT_EQ(usageText, usage);
    int optionLines = 0;
    for (const std::string& line : linesOf(usageText)) {
        if (line.empty() || line[0] == ' ') {
            EXPECT_TRUE(line.empty() || line.find_first_not_of(' ') == 15u) << line;
            continue;
        }
        if (line[0] != '-') {
            continue;
        }
        ++optionLines;
        ASSERT_GT(line.size(), 15u) << line;
        const std::size_t blank = line.find(' ');
        EXPECT_LT(blank, 15u) << line;
        EXPECT_EQ(line.find_first_not_of(' ', blank), 15u) << line;
    }
    EXPECT_EQ(optionLines, 6);
    EXPECT_EQ(std::string(usageText).find("installq"), std::string::npos);
    EXPECT_EQ(std::string(usageText).find("removeq"), std::string::npos);
}

TEST(StartupCommandTexts, VersionIsTheRevisionLineAndOneNoticeLine) {
    const std::string text = versionText();
    const std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Pendra version 1.22");
    EXPECT_NE(lines[1].find("Tarnwick"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(StartupCommandOptions, HelpAndVersionFormsShowTheirBox) {
    for (const char* line : {"-help", "-h", "-H", "-?", "/help", "/h", "/H", "/?"}) {
        EXPECT_EQ(onlyBox(line, 0), (Message{usage, messageOk})) << line;
    }
    for (const char* line : {"-version", "-v", "-V", "/version", "/v", "/V"}) {
        EXPECT_EQ(onlyBox(line, 0), (Message{versionText(), messageOk})) << line;
    }
    // The TLS library of NTS, where the program has one.
    RecordingHost host;
    host.library = "OpenSSL 3.0.20 27 Jan 2026";
    EXPECT_EQ(runCommandLine("-help", host), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, usage + "\nNTS uses OpenSSL 3.0.20 27 Jan 2026.\n");
}

TEST(StartupCommandOptions, OnlyTheExactCaseSensitiveWordsMatch) {
    const std::pair<const char*, const char*> cases[] = {
        {"-HELP", "Unrecognized argument: -HELP"},
        {"--help", "Unrecognized argument: --help"},
        {"-x", "Unrecognized argument: -x"},
        {"/", "Unrecognized argument: -"},
        {"//v", "Unrecognized argument: --v"},
        {"-/h", "Unrecognized argument: --h"},
        {"help", "Unrecognized argument: help"},
        {"-Version", "Unrecognized argument: -Version"},
        {"-installQ", "Unrecognized argument: -installQ"},
        {"-help,", "Unrecognized argument: -help,"},
        {"\xff-v", "Unrecognized argument: \xff-v"},
    };
    for (const auto& [line, text] : cases) {
        EXPECT_EQ(onlyBox(line, 2), (Message{text, messageWarning})) << line;
    }
}

TEST(StartupCommandOptions, AnOverlongArgumentIsCutToTheMessageBuffer) {
    const std::string prefix = "Unrecognized argument: ";
    // Built in place: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string.
    std::string longLine(10000, 'a');
    longLine[0] = '-';
    const Message cut = onlyBox(longLine.c_str(), 2);
    EXPECT_EQ(cut.text.size(), 4095u);
    EXPECT_EQ(cut.text, (prefix + longLine).substr(0, 4095));

    std::string fits(4095 - prefix.size(), 'b');
    fits[0] = '-';
    EXPECT_EQ(onlyBox(fits.c_str(), 2).text, prefix + fits);
    EXPECT_EQ(onlyBox((fits + "c").c_str(), 2).text, prefix + fits);
}

TEST(StartupCommandLine, NoWordStartsTheProgramWithItsResultAsExitCode) {
    for (const char* line : {static_cast<const char*>(nullptr), "", "   ", " \t\n\r\v\f "}) {
        RecordingHost host;
        EXPECT_EQ(runCommandLine(line, host), 0);
        EXPECT_EQ(host.startCalls, 1);
        EXPECT_TRUE(host.messages.empty());
        EXPECT_EQ(commandArgument(line), "");
    }
    RecordingHost failing;
    failing.startResult = false;
    EXPECT_EQ(runCommandLine("  ", failing), 2);
    EXPECT_EQ(failing.startCalls, 1);
    EXPECT_TRUE(failing.messages.empty());
    EXPECT_TRUE(failing.standardError.empty());
}

TEST(StartupCommandLine, OnlyTheFirstWordCountsWhateverTheWhiteSpace) {
    EXPECT_EQ(commandArgument("   -v  more words"), "-v");
    EXPECT_EQ(commandArgument("\t\n/install\tnow"), "-install");
    EXPECT_EQ(commandArgument("-x\r\n"), "-x");
    EXPECT_EQ(onlyBox("   -v  more words", 0).text, versionText());
    EXPECT_EQ(onlyBox("\t-help\nextra", 0).text, usage);
    EXPECT_EQ(onlyBox("\n-x -help", 2).text, "Unrecognized argument: -x");
    EXPECT_EQ(onlyBox("-install -remove", 0).text, "NTP service successfully installed\n");
}

TEST(StartupCommandService, InstallOnNtReportsSuccessUnlessQuiet) {
    for (const char* line : {"-install", "-i", "-I", "/install", "/installq", "-installq"}) {
        RecordingHost host;
        EXPECT_EQ(runCommandLine(line, host), 0) << line;
        EXPECT_EQ(host.installCalls, 1) << line;
        EXPECT_EQ(host.uninstallCalls + host.startCalls, 0) << line;
        const bool quiet = std::string(line).ends_with('q');
        EXPECT_EQ(host.messages.size(), quiet ? 0u : 1u) << line;
        if (!quiet && !host.messages.empty()) {
            EXPECT_EQ(host.messages[0], (Message{"NTP service successfully installed\n", 0}));
        }
    }
}

TEST(StartupCommandService, RemoveOnNtReportsSuccessUnlessQuiet) {
    for (const char* line : {"-remove", "-r", "-R", "/remove", "/removeq", "-removeq"}) {
        RecordingHost host;
        EXPECT_EQ(runCommandLine(line, host), 0) << line;
        EXPECT_EQ(host.uninstallCalls, 1) << line;
        EXPECT_EQ(host.installCalls + host.startCalls, 0) << line;
        const bool quiet = std::string(line).ends_with('q');
        EXPECT_EQ(host.messages.size(), quiet ? 0u : 1u) << line;
        if (!quiet && !host.messages.empty()) {
            EXPECT_EQ(host.messages[0], (Message{"NTP service successfully removed\n", 0}));
        }
    }
}

TEST(StartupCommandService, FailuresWarnEvenWhenQuiet) {
    for (const char* line : {"-install", "-installq", "/installq"}) {
        RecordingHost host = hostWith(true, false);
        EXPECT_EQ(onlyBox(line, 2, host),
                  (Message{"Unable to install service - check privileges\n", messageWarning}));
        EXPECT_EQ(host.installCalls, 1) << line;
    }
    for (const char* line : {"-remove", "-removeq", "/removeq"}) {
        RecordingHost host = hostWith(true, false);
        EXPECT_EQ(onlyBox(line, 2, host),
                  (Message{"Unable to remove service - check privileges\n", messageWarning}));
        EXPECT_EQ(host.uninstallCalls, 1) << line;
    }
}

TEST(StartupCommandService, Windows98NeitherInstallsNorRemoves) {
    for (const char* line : {"-install", "-installq", "-i"}) {
        RecordingHost host = hostWith(false, true);
        EXPECT_EQ(runCommandLine(line, host), 2) << line;
        EXPECT_TRUE(host.messages.empty()) << line;
        EXPECT_EQ(host.standardError,
                  std::vector<std::string>{"-install not required on Windows 95/98\n"});
        EXPECT_EQ(host.installCalls, 0) << line;
    }
    for (const char* line : {"-remove", "-removeq", "-R"}) {
        RecordingHost host = hostWith(false, true);
        EXPECT_EQ(onlyBox(line, 2, host),
                  (Message{"-remove not required on Windows 95\n", messageWarning}));
        EXPECT_EQ(host.uninstallCalls, 0) << line;
    }
}

TEST(StartupCommandImagePath, QuotedAndEscapedOnlyWhenItHoldsBlanksTabsOrQuotes) {
    EXPECT_EQ(serviceImagePath("C:\\Program Files\\Sync\\pendra.exe"),
              "\"C:\\\\Program Files\\\\Sync\\\\pendra.exe\"");
    EXPECT_EQ(serviceImagePath("C:\\a\"b\\p.exe"), "\"C:\\\\a\\\"b\\\\p.exe\"");
    EXPECT_EQ(serviceImagePath("C:\\Sync\tDir\\p.exe"), "\"C:\\\\Sync\tDir\\\\p.exe\"");
    EXPECT_EQ(serviceImagePath("C:\\Sync\\pendra.exe"), "C:\\Sync\\pendra.exe");
    EXPECT_EQ(serviceImagePath(""), "");
}

// -status prints the record and answers a monitoring script with its exit code; it starts
// nothing and shows no box.
TEST(StartupCommandStatus, PrintsTheRecordAndExitsWithTheVerdict) {
    RecordingHost host;
    host.time = 1796731200;
    EXPECT_EQ(runCommandLine("-status", host), 2);
    ASSERT_EQ(host.output.size(), 1u);
    EXPECT_NE(host.output[0].find("No status record"), std::string::npos) << host.output[0];

    StatusRecord record;
    record.lastPoll = host.time - 60;
    record.lastSuccess = host.time - 60;
    record.pollSeconds = 900;
    host.status = record;
    EXPECT_EQ(runCommandLine(" -status", host), 0);
    host.time += 1800;
    EXPECT_EQ(runCommandLine("-status", host), 1);
    EXPECT_EQ(host.output.size(), 3u);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.startCalls, 0);
    // The Windows Time service steering the same clock is told before the verdict.
    struct SteeredHost : RecordingHost {
        std::optional<std::string> otherTimeService() override { return "NT5DS"; }
    } steered;
    steered.time = host.time;
    steered.status = record;
    EXPECT_EQ(runCommandLine("-status", steered), 1);
    const std::string& report = steered.output.at(0);
    EXPECT_NE(report.find("(Type NT5DS)"), std::string::npos) << report;
    EXPECT_EQ(report.rfind("Not synchronised", report.size()),
              report.rfind('\n', report.size() - 2) + 1)
        << report;
    // Only that word, as the other options.
    EXPECT_EQ(onlyBox("-Status", 2).text, "Unrecognized argument: -Status");
}

// -query takes a server and at most one number; anything else is refused before any exchange.
TEST(StartupCommandStatus, QueryTakesAServerAndANumberOfSamples) {
    RecordingHost host;
    host.queryResult = 1;
    EXPECT_EQ(runCommandLine("-query pool.test", host), 1);
    EXPECT_EQ(runCommandLine("-query  [2001:db8::1]\t20", host), 1);
    EXPECT_EQ(runCommandLine("-query -nts nts.test 2", host), 1);
    const std::vector<std::pair<std::string, std::uint32_t>> asked{
        {"pool.test", 4}, {"[2001:db8::1]", 20}, {"nts.test", 2}};
    EXPECT_EQ(host.queries, asked);
    EXPECT_EQ(host.ntsQueries, (std::vector<bool>{false, false, true}));
    for (const char* bad :
         {"-query", "-query -nts", "-query -nts -nts a", "-query a b c", "-query a 0",
          "-query a 21", "-query a 100", "-query a -1", "-query a 4x", "-query a 99999999999"}) {
        const std::size_t before = host.output.size();
        EXPECT_EQ(runCommandLine(bad, host), 2) << bad;
        ASSERT_EQ(host.output.size(), before + 1) << bad;
    }
    EXPECT_EQ(host.queries.size(), 3u);
    EXPECT_NE(host.output.back().find("not \"99999999999\""), std::string::npos);
}

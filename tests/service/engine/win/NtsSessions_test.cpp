// The keeping of NTS associations, with the key exchange replaced: which exchanges check the
// certificates' times, and what ends the associations kept.
#include "service/engine/win/NtsSessions.h"
#include "service/engine/win/WinsockGuards.h"
#include "tests/support/TestCertificate.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

class NtsSessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        address = resolveServer("192.0.2.7", 123).at(0);
        sessions.setRoots({});
        sessions.setExchange([this](const ServerAddress& at, const std::string& name,
                                    nts::KeContext&, bool checkTimes, const NtsSessions::Stopped&) {
            EXPECT_EQ(at.text(true), "192.0.2.7:4460");
            EXPECT_EQ(name, "ntp.test");
            timesChecked.push_back(checkTimes);
            nts::KeResult result;
            result.ok = true;
            result.response.cookies.assign(8, nts::Bytes(64, 1));
            return result;
        });
    }
    void TearDown() override { DeleteFileA(file.c_str()); }

    nts::Association* ask() {
        return sessions.associationFor(
            "ntp.test", address, [] { return false; },
            [this](const std::string& line) { lines.push_back(line); });
    }
    void write(const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }

    WinsockSession winsock{2, 2};
    NtsSessions sessions;
    ServerAddress address;
    std::vector<bool> timesChecked;
    std::vector<std::string> lines;
    // Of this process alone: the test programs may run side by side in one folder.
    std::string file = "nts-sessions-" + std::to_string(GetCurrentProcessId()) + ".pem";
};

// While the clock reads earlier than the build, exchanges skip the certificates' times; the
// first correction ends what they gave, and the next exchange checks again.
TEST_F(NtsSessionsTest, AssociationsMadeWithoutTheTimesCheckEndWhenTheClockIsSet) {
    sessions.setClock([] { return std::int64_t{0}; });
    sessions.configure(std::nullopt);
    nts::Association* first = ask();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ask(), first); // kept while it has cookies
    EXPECT_EQ(timesChecked, std::vector<bool>{false});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "the clock reads earlier than this program was built: NTS "
                             "certificates' times are not checked until the clock has been set");

    sessions.clockCorrected();
    ASSERT_NE(ask(), nullptr);
    EXPECT_EQ(timesChecked, (std::vector<bool>{false, true}));
    sessions.clockCorrected(); // one made with the check stays
    ASSERT_NE(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 2u);
}

// The further trusted file is read at every ask: a change of its contents, even one that keeps
// its size, ends the associations once it has read the same for a while (not at two asks of
// one poll, milliseconds apart; here the wait is then set to none). A file that
// cannot be read for the moment (locked), or that gives no certificates (half written, emptied),
// keeps the trust in use and says so once, also across a change of the machine's roots, which
// is taken at once; one that is gone ends the associations, and says why in the system's words.
TEST_F(NtsSessionsTest, AChangeOfTheTrustedFileEndsTheAssociationsKeptAndAPassingFaultDoesNot) {
    const TestCertificate certificate;
    const std::string pem = certificate.pem();
    write("# A\n" + pem);
    sessions.configure(file);
    nts::Association* first = ask();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ask(), first);
    EXPECT_EQ(timesChecked.size(), 1u);

    write("# B\n" + pem);
    EXPECT_EQ(ask(), first); // maybe still being written
    EXPECT_EQ(ask(), first);
    sessions.setSettleMilliseconds(0);
    nts::Association* second = ask();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(timesChecked.size(), 2u);

    const std::string cannot = "cannot read the trusted certificates in " + file + ": ";
    const std::string stay = ": the certificates trusted before stay";
    const std::size_t before = lines.size();
    {
        HANDLE locked = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(locked, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ask(), second);
        EXPECT_EQ(ask(), second);
        CloseHandle(locked);
    }
    for (const std::string& text : {pem.substr(0, pem.size() / 2), std::string()}) {
        write(text);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(ask(), second);
        }
    }
    ASSERT_EQ(lines.size(), before + 3);
    EXPECT_EQ(lines[before].rfind(cannot, 0), 0u) << lines[before];
    EXPECT_NE(lines[before].find(" (for now)" + stay), std::string::npos) << lines[before];
    EXPECT_EQ(lines[before + 1],
              cannot + "not a file of PEM certificates (bad end line) (after a change)" + stay);
    EXPECT_EQ(lines[before + 2],
              cannot + "not a file of PEM certificates (no certificate) (after a change)" + stay);
    // A change of the machine's roots does not wait for the broken file, and does not log its
    // fault again.
    sessions.setRoots({certificate.der()});
    nts::Association* third = ask();
    ASSERT_NE(third, second);
    EXPECT_EQ(ask(), third);
    EXPECT_EQ(ask(), third);
    EXPECT_EQ(lines.size(), before + 4); // the exchange's line alone
    EXPECT_EQ(timesChecked.size(), 3u);
    write("# B\n" + pem);
    EXPECT_EQ(ask(), third);
    EXPECT_EQ(timesChecked.size(), 3u);

    char gone[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_FILE_NOT_FOUND, 0, gone, sizeof gone, nullptr);
    ASSERT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_EQ(ask(), third); // maybe being replaced
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 3u);
    EXPECT_EQ(lines.back().rfind("NTS key exchange with ntp.test (192.0.2.7) failed: " + cannot, 0),
              0u)
        << lines.back();
    EXPECT_NE(lines.back().find(std::string(gone).substr(0, 10)), std::string::npos)
        << lines.back() << " / " << gone;
    write("# C\n" + pem);
    ASSERT_NE(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 4u);
}

} // namespace

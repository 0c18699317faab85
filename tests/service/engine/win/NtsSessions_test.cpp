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
    std::string file = "nts-sessions-test.pem";
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
// its size, ends the associations; a file that cannot be read gives no exchange at all.
TEST_F(NtsSessionsTest, AChangeOfTheTrustedFileEndsTheAssociationsKept) {
    const TestCertificate certificate;
    const std::string pem = certificate.pem();
    write("# A\n" + pem);
    sessions.configure(file);
    ASSERT_NE(ask(), nullptr);
    ASSERT_NE(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 1u);

    write("# B\n" + pem);
    ASSERT_NE(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 2u);

    ASSERT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(timesChecked.size(), 2u);
    EXPECT_EQ(lines.back().rfind("NTS key exchange with ntp.test (192.0.2.7) failed: cannot read "
                                 "the trusted certificates in nts-sessions-test.pem",
                                 0),
              0u)
        << lines.back();
}

} // namespace

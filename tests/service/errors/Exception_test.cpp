#include "service/errors/BaseException.h"
#include "service/errors/ErrorText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>

namespace {

// The text the canned lookup gives; empty means "the system has no text".
std::string systemTextForTest;

std::size_t cannedLookup(std::uint32_t, char* buffer, std::size_t size) {
    const std::size_t length = std::min(systemTextForTest.size(), size - 1);
    std::memcpy(buffer, systemTextForTest.data(), length);
    buffer[length] = '\0';
    return length;
}

// Fills the whole buffer without a terminator and claims far more than it wrote.
std::size_t overclaimingLookup(std::uint32_t, char* buffer, std::size_t size) {
    std::memset(buffer, 'x', size);
    return size * 4;
}

// Installs a lookup for one test and puts the previous one back.
class ScopedLookup {
public:
    explicit ScopedLookup(SystemMessageLookup lookup, std::string text = "")
        : previous_(setSystemMessageLookup(lookup)) {
        systemTextForTest = std::move(text);
    }
    ~ScopedLookup() {
        setSystemMessageLookup(previous_);
        systemTextForTest.clear();
    }
    ScopedLookup(const ScopedLookup&) = delete;
    ScopedLookup& operator=(const ScopedLookup&) = delete;

private:
    SystemMessageLookup previous_;
};

std::string errorText(std::uint32_t code, std::size_t maxCount = 2048) {
    std::string out(maxCount, '\0');
    out.resize(formatErrorText(code, out.data(), maxCount));
    return out;
}

std::string formatted(std::uint32_t code, const char* format, const char* function = "f") {
    return LastErrorException(function, code, format).what();
}

} // namespace

TEST(WinsockErrorTexts, HoldsFortyNineEntriesInOrderAndAnEndMark) {
    std::set<std::uint32_t> codes;
    std::size_t count = 0;
    while (count < 50 && winsockErrorTexts[count].text != nullptr)
        codes.insert(winsockErrorTexts[count++].code);
    EXPECT_EQ(count, 49u);
    EXPECT_EQ(codes.size(), 49u) << "codes are unique";
    EXPECT_EQ(winsockErrorTexts[49].code, 0u);

    EXPECT_EQ(winsockErrorTexts[0].code, 10013u);
    EXPECT_STREQ(winsockErrorTexts[0].text, "Permission denied.");
    EXPECT_EQ(winsockErrorTexts[6].code, 10061u);
    EXPECT_STREQ(winsockErrorTexts[6].text, "Connection refused.");
    EXPECT_EQ(winsockErrorTexts[35].code, 6u);
    EXPECT_STREQ(winsockErrorTexts[35].text, "Specified event object handle is invalid.");
    EXPECT_EQ(winsockErrorTexts[46].code, 10092u);
    EXPECT_STREQ(winsockErrorTexts[46].text, "WINSOCK.DLL version out of range.");
    EXPECT_EQ(winsockErrorTexts[48].code, 995u);
    EXPECT_STREQ(winsockErrorTexts[48].text, "Overlapped operation aborted.");
}

TEST(FormatErrorText, SystemTextLosesLineBreaksAndTrailingBlanks) {
    ScopedLookup lookup(cannedLookup, "First line.\r\nSecond line. \r\n  ");
    EXPECT_EQ(errorText(10061), "First line.  Second line.");
}

TEST(FormatErrorText, FallsBackToTableThenToUnknownText) {
    ScopedLookup lookup(cannedLookup);
    EXPECT_EQ(errorText(10061), "Connection refused.");
    EXPECT_EQ(errorText(87), "One or more parameters are invalid.");
    EXPECT_EQ(errorText(0xabcd), "Unknown error code 0x0000abcd");
    EXPECT_EQ(errorText(0xFFFFFFFFu), "Unknown error code 0xffffffff");
}

TEST(FormatErrorText, SystemTextOfOnlyLineBreaksCountsAsNone) {
    ScopedLookup lookup(cannedLookup, "\r\n");
    EXPECT_EQ(errorText(10048), "Address already in use.");
}

TEST(FormatErrorText, NeverWritesBeyondMaxCount) {
    ScopedLookup lookup(cannedLookup);
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(formatErrorText(10061, out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "Conne");
    EXPECT_EQ(out[5], '#');

    EXPECT_EQ(formatErrorText(10061, out, 0), 0u);
    EXPECT_EQ(out[0], 'C') << "count 0 writes nothing";
}

TEST(FormatErrorText, DistrustsTheLengthTheLookupClaims) {
    ScopedLookup lookup(overclaimingLookup);
    EXPECT_EQ(errorText(2), std::string(1023, 'x'));
}

TEST(LastErrorException, NamesTheCallAndGivesTheTableText) {
    ScopedLookup lookup(cannedLookup);
    EXPECT_EQ(formatted(10061, "%a: %r", "socket"), "socket: Connection refused.");
}

TEST(LastErrorException, Conversions) {
    ScopedLookup lookup(cannedLookup);
    EXPECT_EQ(formatted(255, "%d=%x"), "255=ff");
    EXPECT_EQ(formatted(0xDEADBEEF, "%x"), "deadbeef");
    EXPECT_EQ(formatted(0xFFFFFFFF, "%d"), "-1");
    EXPECT_EQ(formatted(0x80000000, "%d"), "-2147483648");
    EXPECT_EQ(formatted(1, "100%% %q%"), "100% q");
    EXPECT_EQ(formatted(1, "%"), "");
    EXPECT_EQ(formatted(1, "[%a]", nullptr), "[]");
    EXPECT_EQ(formatted(1, nullptr), "");
}

TEST(LastErrorException, CutsEveryPieceToTheBudget) {
    const std::string longName(300, 'n');
    const std::string longFormat(300, 'f');
    {
        ScopedLookup lookup(cannedLookup, std::string(600, 't'));
        LastErrorException e("socket", 7, "%a: %r");
        EXPECT_EQ(e.what(), "socket: " + std::string(247, 't'));
        EXPECT_EQ(std::strlen(e.what()), 255u);
        EXPECT_EQ(e.errorCode(), 7u) << "fields after the buffer are intact";
        EXPECT_STREQ(e.functionName(), "socket");
    }
    ScopedLookup lookup(cannedLookup);
    LastErrorException e(longName.c_str(), 10061, "%a%r%d");
    EXPECT_EQ(e.what(), longName.substr(0, 255));
    EXPECT_EQ(e.functionName(), longName.c_str());

    EXPECT_EQ(formatted(1, longFormat.c_str()), longFormat.substr(0, 255));
    const std::string name250(250, 'n');
    EXPECT_EQ(formatted(10061, "%a%r", name250.c_str()), name250 + "Conne");
    EXPECT_EQ(formatted(0xFFFFFFFF, "%a%d", name250.c_str()), name250 + "-1");
    EXPECT_EQ(formatted(0x80000000, "%a%d", name250.c_str()), name250 + "-2147");
}

TEST(LastErrorException, FormatsOnceAndKeepsItsText) {
    ScopedLookup lookup(cannedLookup, "first");
    setLastSystemError(10061);
    LastErrorException e("recvfrom", "%a: %d %r");
    setLastSystemError(10048);
    EXPECT_EQ(e.errorCode(), 10061u);
    const std::string text = e.what();
    EXPECT_EQ(text, "recvfrom: 10061 first");

    systemTextForTest = "second";
    EXPECT_EQ(e.what(), text);
    setLastSystemError(0);
}

TEST(LastErrorException, CopyFormatsItsOwnText) {
    ScopedLookup lookup(cannedLookup, "first");
    const LastErrorException original("bind", 10048, "%a: %r");
    EXPECT_STREQ(original.what(), "bind: first");

    systemTextForTest = "second";
    const LastErrorException copy(original);
    EXPECT_STREQ(copy.what(), "bind: second");
    EXPECT_STREQ(original.what(), "bind: first");

    LastErrorException assigned("other", 1, "%d");
    EXPECT_STREQ(assigned.what(), "1");
    systemTextForTest.clear();
    assigned = original;
    EXPECT_STREQ(assigned.what(), "bind: Address already in use.");
    EXPECT_EQ(assigned.errorCode(), 10048u);
}

TEST(BaseException, MessageLines) {
    const SimpleException simple("missing registry key");
    const BaseException& base = simple;
    EXPECT_STREQ(base.what(), "missing registry key");
    EXPECT_TRUE(base.hasMessage());
    EXPECT_STREQ(base.messageLine(0), "missing registry key");
    EXPECT_EQ(base.messageLine(1), nullptr);

    const SimpleException none(nullptr);
    EXPECT_FALSE(none.hasMessage());

    ScopedLookup lookup(cannedLookup);
    const LastErrorException error("select", 10060, "%a: %r");
    EXPECT_STREQ(error.messageLine(0), "select: Connection timed out.");
    EXPECT_EQ(error.messageLine(2), nullptr);
}

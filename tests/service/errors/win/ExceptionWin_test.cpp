#include "service/errors/BaseException.h"
#include "service/errors/ErrorText.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string errorText(std::uint32_t code) {
    char out[1024];
    return std::string(out, formatErrorText(code, out, sizeof out));
}

std::string rawSystemText(std::uint32_t code) {
    char buffer[1024];
    return std::string(buffer, systemMessageText(code, buffer, sizeof buffer));
}

} // namespace

TEST(SystemErrorText, SystemTextIsGivenWithoutItsLineBreak) {
    const std::string raw = rawSystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");

    const std::string text = errorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, raw.substr(0, raw.size() - 2));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(text.back(), ' ');
}

TEST(SystemErrorText, InsertsAreLeftAloneWithoutArguments) {
    // ERROR_MR_MID_NOT_FOUND's text holds %1 and %2; without IGNORE_INSERTS there is no text.
    EXPECT_NE(rawSystemText(ERROR_MR_MID_NOT_FOUND).find("%1"), std::string::npos);
}

TEST(SystemErrorText, CodesTheSystemLacksUseTheTableOrTheUnknownText) {
    EXPECT_EQ(rawSystemText(WSAEADDRINUSE), "");
    EXPECT_EQ(errorText(WSAEADDRINUSE), "Address already in use.");
    EXPECT_EQ(errorText(0x2badc0de), "Unknown error code 0x2badc0de");
}

TEST(SystemErrorText, LookupKeepsTheLastError) {
    SetLastError(ERROR_ACCESS_DENIED);
    errorText(0x2badc0de);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(LastErrorExceptionWin, NamesAFailedCallWithTheSystemText) {
    char path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof path, path), 0u);
    const std::string missing = std::string(path) + "pendra-exc-missing.ntp";
    ASSERT_FALSE(DeleteFileA(missing.c_str()));
    const LastErrorException e("DeleteFile", "%a: %r");

    EXPECT_EQ(e.errorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(e.what(), "DeleteFile: " + errorText(ERROR_FILE_NOT_FOUND));
}

TEST(LastErrorExceptionWin, TakesTheLastErrorAtConstruction) {
    SetLastError(ERROR_ACCESS_DENIED);
    const LastErrorException e("CreateFile", "%d");
    SetLastError(0);
    EXPECT_STREQ(e.what(), "5");
}

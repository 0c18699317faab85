// The box text of a failed system call.
#include "desktop/admin/SystemErrorText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

TEST(SystemErrorText, SystemErrorsNameTheCallThenTheSystemsText) {
    auto known = [](std::uint32_t) { return std::string("Access is denied.\r\n"); };
    auto unknown = [](std::uint32_t) { return std::string(); };
    EXPECT_EQ(systemErrorText("CreateDirectory(LogDirectory)", 5, known),
              "CreateDirectory(LogDirectory)\nAccess is denied. \n");
    EXPECT_EQ(systemErrorText("Caption\n", 0x1234, unknown),
              "Caption\nUnknown error code: 0x001234\n");
    const std::string text = systemErrorText(std::string(4001, 'c'), 5, known);
    EXPECT_EQ(text, std::string(2000, 'c') + "\nAccess is denied. \n");
}

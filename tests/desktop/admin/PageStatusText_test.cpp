// The text under the settings: Pendra's line, and the Windows Time service on a line of its own.
#include "desktop/admin/PageStatusText.h"

#include <gtest/gtest.h>

TEST(PageStatusText, TheWindowsTimeServiceGetsALineOfItsOwnOnlyWhileItSynchronises) {
    const std::string line = "Synchronised 10:32:05 from 192.0.2.7, offset +0.4 ms";
    EXPECT_EQ(pageStatusText(line, std::nullopt), line);
    EXPECT_EQ(pageStatusText(line, "NT5DS"),
              line + "\r\nThe Windows Time service steers this clock too (Type NT5DS).");
}

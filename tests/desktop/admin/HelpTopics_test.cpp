// Which topic a help request opens, and where it is found.
#include "desktop/admin/HelpTopics.h"

#include <gtest/gtest.h>

TEST(HelpTopics, EachContextOpensItsTopicAndTheMakersForAnyOther) {
    EXPECT_STREQ(helpTopicFor(0x20066), "KlemoraHelp");
    EXPECT_STREQ(helpTopicFor(0x2008D), "Standard");
    EXPECT_STREQ(helpTopicFor(0x20091), "LogFile");
    EXPECT_STREQ(helpTopicFor(0x20092), "Tarnwick");
    EXPECT_EQ(compiledHelpPath("C:\\K\\", "Standard"), "C:\\K\\Klemora.chm::/html/Standard.htm");
    EXPECT_EQ(singlePageHelpPath("C:\\K\\", "Tarnwick"), "C:\\K\\html\\Tarnwick.htm");
}

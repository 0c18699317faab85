// The entries of the server list file.
#include "desktop/admin/ServerList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ServerList, EntriesALineEachWithOrWithoutALineEnd) {
    EXPECT_EQ(serverListEntries("a\r\n\r\nb\nc"), (std::vector<std::string>{"a", "", "b", "c"}));
    EXPECT_EQ(serverListEntries("a\r\n"), std::vector<std::string>{"a"});
    EXPECT_TRUE(serverListEntries("").empty());
    std::string many;
    for (int i = 0; i < 10000; ++i) {
        many += std::string(2000, 'x') + "\r\n";
    }
    const auto entries = serverListEntries(many);
    EXPECT_EQ(entries.size(), 10000u);
    EXPECT_EQ(entries.back().size(), 2000u);
}

// Where Klemora finds its folder, and how the service names Pendra's path.
#include "desktop/admin/ProgramPaths.h"

#include <gtest/gtest.h>

TEST(ProgramPaths, TheFolderOfAProgramAndTheServicesQuotedPath) {
    EXPECT_EQ(folderOf("C:\\Program Files\\Sync\\Klemora.exe"), "C:\\Program Files\\Sync\\");
    EXPECT_EQ(folderOf("Klemora.exe"), "");
    EXPECT_EQ(quotedServicePath("C:\\Program Files\\Sync\\Pendra.exe"),
              "\"C:\\\\Program Files\\\\Sync\\\\Pendra.exe\"");
    EXPECT_EQ(quotedServicePath("C:\\Sync\\Pendra.exe"), "C:\\Sync\\Pendra.exe");
    EXPECT_EQ(quotedServicePath("C:\\a\"b\\P.exe"), "\"C:\\\\a\\\"b\\\\P.exe\"");
}

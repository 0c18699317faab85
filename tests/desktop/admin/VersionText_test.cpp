// The version texts of the Info page and the About box.
#include "desktop/admin/VersionText.h"

#include <gtest/gtest.h>

#include <string>

TEST(VersionText, VersionTextsOfInfoAndAbout) {
    const ProgramVersion version{(1u << 16) | 22u, (3u << 16) | 4u, [](const char* name) {
                                     return std::string(name) == "CompanyName" ? "Tarnwick" : "";
                                 }};
    EXPECT_EQ(infoVersionText(version), "\n Version: 1.22.3.4\n\n Company:    \tTarnwick\n"
                                        " Product:    \t\n Description: \t\n\t \t\n");
    EXPECT_EQ(aboutVersionText(version).substr(0, 35), "Version: 1.22\nCompanyName:\tTarnwick");
}

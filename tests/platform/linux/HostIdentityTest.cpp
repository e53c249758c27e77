#include <gtest/gtest.h>

#include "platform/linux/HostIdentity.h"

using namespace jolto;

TEST(HostIdentity, ReadsThePrettyHostnameLikeAShellWould) {
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Living Room PC\"\n"),
              "Living Room PC");
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=desktop\nPRETTY_HOSTNAME='Ann'\n"), "Ann");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Say \\\"hi\\\"\""), "Say \"hi\"");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Den"), "Den");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"\"\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=laptop\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo(""), std::nullopt);
}

TEST(HostIdentity, AlwaysGivesAName) {
    EXPECT_FALSE(computerDisplayName().empty());
}

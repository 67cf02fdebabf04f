// The client's own token, as the Windows checks compare it with what the
// gateway received.
#include "tools/win-test-client/token_identity.h"

#include <gtest/gtest.h>

namespace {

using wintestclient::TokenGroup;
using wintestclient::TokenIdentity;

TEST(FormatIdentity, MatchesTheEmulatorsIdentityPageLines) {
    TokenIdentity identity;
    identity.user = "HOST\\alice";
    identity.userSid = "S-1-5-21-1-2-3-1000";
    identity.groups = {TokenGroup{"S-1-1-0", "Everyone"}, TokenGroup{"S-1-5-5-0-1", ""}};
    EXPECT_EQ(
        "user: HOST\\alice\n"
        "user-sid: S-1-5-21-1-2-3-1000\n"
        "groups: 2\n"
        "group: S-1-1-0 Everyone\n"
        "group: S-1-5-5-0-1 \n",
        wintestclient::formatIdentity(identity));
}

TEST(ReadOwnToken, GivesAnAccountAndGroupsWithSidTexts) {
    TokenIdentity identity;
    std::string error;
    ASSERT_TRUE(wintestclient::readOwnToken(identity, error)) << error;
    EXPECT_FALSE(identity.user.empty());
    EXPECT_EQ(0u, identity.userSid.rfind("S-1-", 0)) << identity.userSid;
    ASSERT_FALSE(identity.groups.empty());
    for (const TokenGroup& group : identity.groups)
        EXPECT_EQ(0u, group.sid.rfind("S-1-", 0)) << group.sid;
}

}  // namespace

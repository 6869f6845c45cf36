#include "driver/restart.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class RestartTest : public MachineTest {};

TEST_F(RestartTest, RestartIsNotForcedAndLogOffIs) {
    RestartComputer();
    LogOffUser();
    ASSERT_EQ(m.exitWindowsRequests.size(), 2u);
    EXPECT_EQ(m.exitWindowsRequests[0].flags, static_cast<UINT>(EWX_SHUTDOWN | EWX_REBOOT));
    EXPECT_EQ(m.exitWindowsRequests[0].reason, 0u);
    EXPECT_TRUE(m.exitWindowsRequests[0].shutdownPrivilegeEnabled);
    EXPECT_EQ(m.exitWindowsRequests[1].flags, static_cast<UINT>(EWX_LOGOFF | EWX_FORCE));
    EXPECT_EQ(m.privilegesEnabled, std::set<std::string>{"SeShutdownPrivilege"});
}

TEST_F(RestartTest, RequestIsMadeEvenWithoutTheToken) {
    m.openTokenFails = true;
    RestartComputer();
    ASSERT_EQ(m.exitWindowsRequests.size(), 1u);
    EXPECT_FALSE(m.exitWindowsRequests[0].shutdownPrivilegeEnabled);
}

TEST_F(RestartTest, RequestIsMadeWhenThePrivilegeIsNotHeld) {
    m.privilegesHeld.clear();
    RestartComputer();
    ASSERT_EQ(m.exitWindowsRequests.size(), 1u);
    EXPECT_FALSE(m.exitWindowsRequests[0].shutdownPrivilegeEnabled);
}

}  // namespace

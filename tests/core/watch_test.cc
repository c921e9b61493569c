// The card removal watch: arming, clearing and the termination callback.
#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

TEST_F(CoreTest, ArmingNeedsTheCardAndLeavesNothingOfAFailureOrOfAClearedWatch) {
  EXPECT_FALSE(app().registerServiceNotification());
  insertCard();
  fake.registry.interestStatus = kIOReturnError;
  EXPECT_FALSE(app().registerServiceNotification());
  fake.registry.interestStatus = KERN_SUCCESS;
  fake.registry.failPortCreate = true;
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.livePorts(), 0U);
  EXPECT_TRUE(fake.runLoop.installed.empty());
  EXPECT_EQ(fake.registry.outstandingHandles(), 0U);

  fake.registry.failPortCreate = false;
  ASSERT_TRUE(app().registerServiceNotification());
  const IONotificationPortRef port = g_NotifyPort;
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, port);
  EXPECT_EQ(fake.registry.outstandingHandles(), 1U);

  pullCard();  // the termination waits while the watch is cleared
  app().clearServiceNotification();
  app().clearServiceNotification();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.registry.deliveries, 0);
  EXPECT_EQ(fake.application.activations, 0);
  EXPECT_EQ(fake.registry.outstandingHandles(), 0U);
  insertCard();
  EXPECT_TRUE(app().registerServiceNotification());  // reclaimed by the controller's end
}

TEST_F(CoreTest, EachPullRunsDisableOnceFromAWatchThatMayBeArmedAgainMeanwhile) {
  // The watched card goes while another stays whose eject fails: the disable
  // run from the callback arms a new watch before the callback returns.
  const std::uint64_t first = insertCard("disk2");
  ASSERT_TRUE(app().registerServiceNotification());
  const std::uint64_t second = insertCard("disk3");
  diskToolFails();
  fake.registry.sendMessage(first, 0xE0000130);  // the driver's busy-state change
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.application.activations, 0);
  fake.registry.terminate(first);
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alerts(), Strings{"MSG_EjectFail"});
  ASSERT_NE(g_NotifyContext, nullptr);
  EXPECT_EQ(g_NotifyContext->controller, &app());
  EXPECT_EQ(fake.registry.outstandingHandles(), 1U);

  fake.processes.onRun = nullptr;
  fake.registry.terminate(second);
  fake.runLoop.runUntilIdle();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.registry.deliveries, 3);
  EXPECT_EQ(fake.application.activations, 2);
  EXPECT_EQ(alerts(), (Strings{"MSG_EjectFail", "MSG_RemoveSafely"}));
  EXPECT_EQ(fake.processes.runs.size(), 1U);  // nothing left to eject the second time
  ASSERT_EQ(fake.authorization.runs.size(), 1U);
  EXPECT_EQ(fake.authorization.runs[0].pathToTool, kKextUnloadPath);
  EXPECT_EQ(g_NotifyPort, nullptr);
}

}  // namespace
}  // namespace pomrel::testing

// The card removal watch: arming, clearing and the termination callback.
#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

using Strings = std::vector<std::string>;

constexpr natural_t kBusyStateChanged = 0xE0000130;

TEST_F(CoreTest, ArmingNeedsTheCardAndHappensOnce) {
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.livePorts(), 0U);

  insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
  IONotificationPortRef port = g_NotifyPort;
  ASSERT_NE(port, nullptr);
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, port);
  EXPECT_EQ(fake.registry.livePorts(), 1U);
  EXPECT_EQ(fake.registry.liveRegistrations(), 1U);
  EXPECT_EQ(fake.runLoop.installedCount(), 1U);

  app().clearServiceNotification();
  app().clearServiceNotification();
  EXPECT_EQ(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.outstandingHandles(), 0U);
  EXPECT_TRUE(app().registerServiceNotification());
}

TEST_F(CoreTest, OtherMessagesLeaveTheWatchArmed) {
  const std::uint64_t card = insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
  fake.registry.sendMessage(card, kBusyStateChanged);
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.registry.deliveries, 1);
  EXPECT_EQ(fake.application.activations, 0);
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.liveRegistrations(), 1U);

  pullCard();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alertMessages(), Strings{"MSG_RemoveSafely"});
}

TEST_F(CoreTest, PullingTheCardRunsDisableOnceAndLeavesTheWatchUnarmed) {
  insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
  pullCard();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.application.activations, 1);
  EXPECT_TRUE(fake.processes.runs.empty());  // nothing left to eject
  EXPECT_EQ(fake.log.count(kUnloadRun), 1U);
  EXPECT_EQ(alertMessages(), Strings{"MSG_RemoveSafely"});
  EXPECT_EQ(g_NotifyPort, nullptr);
  EXPECT_EQ(g_NotifyContext, nullptr);
  EXPECT_EQ(fake.registry.outstandingHandles(), 0U);

  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.registry.deliveries, 1);
}

TEST_F(CoreTest, AWatchArmedAgainDuringTheCallbackSurvivesIt) {
  // The watched card goes while another one stays whose eject fails: the
  // disable run by the callback arms a new watch before the callback ends.
  const std::uint64_t first = insertCard("disk2");
  ASSERT_TRUE(app().registerServiceNotification());
  const std::uint64_t second = insertCard("disk3");
  diskToolFails();
  fake.registry.terminate(first);
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alertMessages(), Strings{"MSG_EjectFail"});
  ASSERT_NE(g_NotifyPort, nullptr);
  ASSERT_NE(g_NotifyContext, nullptr);
  EXPECT_EQ(g_NotifyContext->controller, &app());
  EXPECT_EQ(fake.registry.liveRegistrations(), 1U);

  // The new watch still works.
  fake.processes.onRun = nullptr;
  fake.registry.terminate(second);
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alertMessages(), (Strings{"MSG_EjectFail", "MSG_RemoveSafely"}));
  EXPECT_EQ(g_NotifyPort, nullptr);
}

TEST_F(CoreTest, AFailedArmingLeavesNothingBehind) {
  insertCard();
  fake.registry.interestStatus = kIOReturnError;
  EXPECT_FALSE(app().registerServiceNotification());
  fake.registry.interestStatus = KERN_SUCCESS;
  fake.registry.failPortCreate = true;
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.livePorts(), 0U);
  EXPECT_EQ(fake.runLoop.installedCount(), 0U);
  EXPECT_EQ(fake.registry.outstandingHandles(), 0U);

  fake.registry.failPortCreate = false;
  EXPECT_TRUE(app().registerServiceNotification());
}

TEST_F(CoreTest, AClearedWatchIsNeverCalledBack) {
  insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
  pullCard();  // the termination is pending
  app().clearServiceNotification();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.registry.deliveries, 0);
  EXPECT_EQ(fake.application.activations, 0);

  // A watch still armed when the controller goes is reclaimed too.
  insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
}

}  // namespace
}  // namespace pomrel::testing

// The launch, the card lookup and the removal watch.
#include <array>

#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

TEST_F(CoreTest, LaunchShowsTheItemReadsTheSettingAndEveryPullOfAWatchedCardRunsDisableOnce) {
  fake.userDefaults.store.domains[FakeUserDefaults::kApplication]["AddLoginItem"] = true;
  const std::uint64_t first = insertCard("disk2");
  Menu menu;
  app().m0_StatusBar = &menu;
  app().applicationDidFinishLaunching(nullptr);
  const std::shared_ptr<FakeStatusItem> item = fake.statusBar.items.at(0);
  EXPECT_TRUE(item->image != nullptr && item->highlightMode && item->menu == &menu);
  EXPECT_TRUE(app().isAddLoginItem());
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.userDefaults.store.synchronizations, 0) << "the login list is left alone";

  // The watched card goes while another stays whose eject fails: the disable
  // run from the callback arms a new watch before the callback returns.
  const std::uint64_t second = insertCard("disk3");
  diskToolFails();
  fake.registry.sendMessage(first, 0xE0000130);  // the driver's busy-state change
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.application.activations, 0);
  fake.registry.terminate(first);
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alerts(), Strings{"MSG_EjectFail"});

  // A card that appears after a pull's Disable is watched: its pull disables.
  fake.registry.terminate(second);
  fake.runLoop.runUntilIdle();
  insertCard("disk4");
  fake.runLoop.runUntilIdle();
  pullCard();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alerts(), (Strings{"MSG_EjectFail", "MSG_RemoveSafely", "MSG_RemoveSafely"}));
}

TEST_F(CoreTest, CardLookupAnswersForAStringNameThatFitsInTheFirstMatchOnly) {
  const std::tuple<const char*, PropertyValue, bool> cases[] = {
      {"255 bytes", std::string(255, 'd'), true},
      {"256 bytes", std::string(256, 'd'), false},
      {"an integer", PropertyInteger::fromSigned(2), false},
  };
  std::array<char, kBSDNameBufferSize> buffer;
  for (const auto& [what, name, found] : cases) {
    const std::uint64_t first = insertCard(name);
    insertCard("disk3");  // a later match never stands in for the first
    buffer.fill('Z');
    EXPECT_EQ(app().getSxSDisk(nullptr), found) << what;
    EXPECT_EQ(app().getSxSDisk(buffer.data()), found) << what;
    // The name, its NUL and zeros: never stale bytes; untouched on failure.
    std::string expected(kBSDNameBufferSize, found ? '\0' : 'Z');
    if (found) expected.replace(0, name.string()->size(), *name.string());
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected) << what;
    fake.registry.terminate(first);
    EXPECT_TRUE(app().getSxSDisk(buffer.data()) && std::string_view(buffer.data()) == "disk3");
    pullCard();
  }
}

TEST_F(CoreTest, ArmingNeedsTheCardAndLeavesNothingOfAFailureOrOfAClearedWatch) {
  EXPECT_FALSE(app().registerServiceNotification());
  insertCard();
  fake.registry.interestFails = true;
  EXPECT_FALSE(app().registerServiceNotification());
  EXPECT_EQ(g_NotifyPort, nullptr);  // the port and source go too, or the teardown sees them
  fake.registry.interestFails = false;
  ASSERT_TRUE(app().registerServiceNotification());
  EXPECT_FALSE(app().registerServiceNotification());

  pullCard();  // the termination waits while the watch is cleared
  app().clearServiceNotification();
  app().clearServiceNotification();
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(fake.application.activations, 0);
  insertCard();
  EXPECT_TRUE(app().registerServiceNotification());  // reclaimed by the controller's end
}

}  // namespace
}  // namespace pomrel::testing

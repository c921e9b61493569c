// The disable and enable commands and the removal watch, end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "tests/integration/end_to_end.h"

namespace pomrel::integration {
namespace {

using ::testing::ElementsAre;

using CommandsTest = EndToEndTest;

// With the enable command's real pause and the stand-in driver's own time to
// present the card.
TEST_F(CommandsTest, DisableThenEnableThenAPullThenEnableWithoutAndWithTheCard) {
  card({"init"});
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());
  controller().disableMedia(nullptr);
  ASSERT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));
  EXPECT_FALSE(answerer_.alerts[0].pluginLoaded) << "told to remove the card before the unload";
  const sim::MachineState disabled = machine();
  EXPECT_TRUE(disabled.cardInserted && disabled.diskEjected && !disabled.pluginLoaded);
  EXPECT_TRUE(mediaServices().empty());
  EXPECT_FALSE(watchArmed());

  QElapsedTimer timer;
  timer.start();
  controller().enableMedia(nullptr);
  EXPECT_GE(timer.elapsed(), 1010);
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_EQ(mediaServices().size(), 1U);
  EXPECT_TRUE(watchArmed()) << "the card arrived within the pause but was not watched";

  card({"pull"});
  ASSERT_TRUE(awaitAlerts(2));
  processEventsFor(100ms);
  ASSERT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely", "MSG_RemoveSafely"))
      << "one disable for the pull, none for the eject";
  EXPECT_FALSE(answerer_.alerts[1].pluginLoaded);
  EXPECT_FALSE(machine().pluginLoaded);
  EXPECT_FALSE(watchArmed());

  controller().enableMedia(nullptr);
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_FALSE(watchArmed());

  // A card the loaded plug-in presents is watched, not reloaded under it.
  card({"insert"});
  ASSERT_TRUE(processEventsUntil([&] { return mediaServices().size() == 1; }));
  const std::vector<sim::EntryId> media = mediaServices();
  controller().enableMedia(nullptr);
  EXPECT_EQ(mediaServices(), media);
  EXPECT_TRUE(watchArmed());
  EXPECT_EQ(answerer_.alerts.size(), 2U);
  EXPECT_EQ(answerer_.prompts, 1) << "one prompt per run of the program";
}

// Neither a cancelled prompt nor a failed eject leaves the card unwatched.
TEST_F(CommandsTest, ACancelledPromptThenABusyVolumeKeepThePluginAndTheWatch) {
  card({"insert"});
  launch();
  const std::vector<sim::EntryId> media = mediaServices();
  ASSERT_EQ(media.size(), 1U);
  answerer_.password.clear();
  controller().disableMedia(nullptr);
  EXPECT_EQ(answerer_.prompts, 1);
  EXPECT_TRUE(answerer_.alerts.empty());
  EXPECT_TRUE(watchArmed());

  // The driver's busy-state message reaches the watch and changes nothing.
  card({"busy", "on"});
  ASSERT_TRUE(processEventsUntil(
      [&] { return store_.listMessages(kSxSMediaServiceName, media[0]).empty(); }));
  EXPECT_EQ(answerer_.prompts, 1) << "the message started a command";
  answerer_.password = kAdminPassword;
  controller().disableMedia(nullptr);
  EXPECT_EQ(answerer_.prompts, 2);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_EjectFail"));
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_EQ(mediaServices(), media);
  EXPECT_TRUE(watchArmed());

  card({"busy", "off"});
  card({"pull"});
  ASSERT_TRUE(awaitAlerts(2));
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_EjectFail", "MSG_RemoveSafely"));
  EXPECT_EQ(answerer_.prompts, 2);
  EXPECT_FALSE(machine().pluginLoaded);
}

TEST_F(CommandsTest, WithoutTheDriverBothCommandsOnlySaySoAndNeverPrompt) {
  card({"insert"});
  card({"remove-driver"});
  launch();
  controller().disableMedia(nullptr);
  controller().enableMedia(nullptr);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_NotInstall", "MSG_NotInstall"));
  EXPECT_EQ(answerer_.prompts, 0);
}

TEST_F(CommandsTest, APullDuringAnAlertIsHandledAfterTheAlertCloses) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());
  pollfd watch{registry_.notificationPortGetRunLoopSource(g_NotifyPort)->descriptor(), POLLIN, 0};
  bool armedWhileUp = false;
  answerer_.whileAlertUp = [&] {
    card({"pull"});
    EXPECT_EQ(::poll(&watch, 1, 5000), 1) << "the pull never reached the watch";
    processEventsFor(100ms);
    armedWhileUp = watchArmed();
  };
  application_.runAlertPanel(bundle_.localizedStringForKey("MSG_Title"), "another alert");
  EXPECT_TRUE(armedWhileUp);
  EXPECT_TRUE(watchArmed()) << "handled on the way out of the alert";

  ASSERT_TRUE(awaitAlerts(2));
  processEventsFor(100ms);
  EXPECT_THAT(alertKeys(), ElementsAre("?another alert", "MSG_RemoveSafely"));
  EXPECT_FALSE(watchArmed());
}

}  // namespace
}  // namespace pomrel::integration

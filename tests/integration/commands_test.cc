// The disable and enable commands and the removal watch, end to end on a
// simulated machine, driven the way a person drives the program: the status
// menu, the card in the slot (sxs-card), the administrator prompt and the
// alerts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QMenu>

#include "tests/integration/end_to_end.h"

namespace pomrel::integration {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CommandsTest : public EndToEndTest {
 protected:
  // Opens the status menu (which validates its items) and sends `action`
  // through its item, as a click does; false when the item is disabled.
  bool choose(const std::string& action) {
    QMenu* menu = interface_.statusMenu()->qMenu();
    menu->popup(QPoint(0, 0));
    for (const auto& item : interface_.statusMenu()->items()) {
      if (item->action() != action) continue;
      const bool enabled = item->isEnabled();
      menu->hide();
      if (enabled) item->qAction()->trigger();
      return enabled;
    }
    menu->hide();
    ADD_FAILURE() << "the status menu has no item for " << action;
    return false;
  }
};

TEST_F(CommandsTest, DisableEjectsUnloadsAndOnlyThenSaysTheCardCanBeRemoved) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());
  EXPECT_FALSE(choose("enableMedia:")) << "enable offered while the card is in use";

  ASSERT_TRUE(choose("disableMedia:"));
  EXPECT_EQ(answerer_.prompts, 1);
  ASSERT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));
  EXPECT_FALSE(answerer_.alerts[0].pluginLoaded) << "told to remove the card before the unload";
  EXPECT_FALSE(answerer_.alerts[0].watchArmed);
  const sim::MachineState after = machine();
  EXPECT_TRUE(after.cardInserted && after.diskEjected && !after.pluginLoaded);
  EXPECT_THAT(mediaServices(), IsEmpty());
  EXPECT_FALSE(watchArmed());

  // The media went away under the cleared watch: nothing runs a second time.
  processEventsFor(100ms);
  EXPECT_EQ(application_.starts, 1);
  EXPECT_EQ(answerer_.alerts.size(), 1U);
}

TEST_F(CommandsTest, PullingTheWatchedCardRunsDisableOnceFromTheWatch) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());

  card({"pull"});
  ASSERT_TRUE(awaitAlerts(1));
  processEventsFor(100ms);
  EXPECT_EQ(application_.starts, 1);
  EXPECT_EQ(answerer_.prompts, 1) << "the watch's disable asks for the right like the menu's";
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));
  EXPECT_FALSE(answerer_.alerts[0].pluginLoaded);
  EXPECT_FALSE(machine().pluginLoaded);
  EXPECT_FALSE(watchArmed());
}

TEST_F(CommandsTest, ABusyVolumeKeepsThePluginAndTheWatchWhichThenSeesThePull) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());
  const std::vector<sim::EntryId> media = mediaServices();

  // The driver's busy-state message reaches the watch and changes nothing.
  card({"busy", "on"});
  ASSERT_TRUE(processEventsUntil([&] {
    return store_.listMessages(kSxSMediaServiceName, media.at(0)).empty();
  })) << "the busy-state message was never delivered";
  EXPECT_EQ(application_.starts, 0);
  EXPECT_TRUE(watchArmed());

  controller().disableMedia(nullptr);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_EjectFail"));
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_EQ(mediaServices(), media);
  EXPECT_TRUE(watchArmed());

  // The re-armed watch is live.
  card({"busy", "off"});
  card({"pull"});
  ASSERT_TRUE(awaitAlerts(2));
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_EjectFail", "MSG_RemoveSafely"));
  EXPECT_EQ(answerer_.prompts, 1);
  EXPECT_FALSE(machine().pluginLoaded);
}

TEST_F(CommandsTest, WithoutTheDriverBothCommandsOnlySaySoAndNeverPrompt) {
  card({"insert"});
  card({"remove-driver"});
  launch();
  EXPECT_FALSE(watchArmed());

  controller().disableMedia(nullptr);
  controller().enableMedia(nullptr);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_NotInstall", "MSG_NotInstall"));
  EXPECT_EQ(answerer_.prompts, 0);
  EXPECT_FALSE(machine().pluginLoaded);
  EXPECT_FALSE(watchArmed());
}

TEST_F(CommandsTest, EnableLoadsThePluginAndWatchesACardThatIsThere) {
  card({"insert"});
  launch();
  ASSERT_TRUE(choose("disableMedia:"));
  card({"pull"});

  // No card: the plug-in comes back, with nothing to watch and nothing said.
  ASSERT_TRUE(choose("enableMedia:"));
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_FALSE(watchArmed());
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));

  // A card inserted meanwhile is presented by the loaded plug-in; enable
  // (reached without the menu, which would not offer it) leaves that media
  // service alone and watches it.
  card({"insert"});
  const std::vector<sim::EntryId> media = mediaServices();
  ASSERT_EQ(media.size(), 1U);
  controller().enableMedia(nullptr);
  EXPECT_EQ(mediaServices(), media) << "the plug-in was reloaded under the card";
  EXPECT_TRUE(watchArmed());
  EXPECT_EQ(answerer_.prompts, 1) << "one prompt per run of the program";

  card({"pull"});
  ASSERT_TRUE(awaitAlerts(2));
  EXPECT_FALSE(machine().pluginLoaded);
}

TEST_F(CommandsTest, EnablePausesForTheDriverToPresentAnInsertedCard) {
  card({"init", "--load-delay", "300"});
  card({"insert"});
  launch(/*realClock=*/true);
  ASSERT_TRUE(choose("disableMedia:"));
  ASSERT_TRUE(machine().cardInserted && !machine().pluginLoaded);

  QElapsedTimer timer;
  timer.start();
  ASSERT_TRUE(choose("enableMedia:"));
  EXPECT_GE(timer.elapsed(), 1010);
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_EQ(mediaServices().size(), 1U);
  EXPECT_TRUE(watchArmed()) << "the card arrived within the pause but was not watched";
}

TEST_F(CommandsTest, ACancelledPromptChangesNothingAndTheNextCommandAsksAgain) {
  card({"insert"});
  launch();
  answerer_.password.clear();
  controller().disableMedia(nullptr);
  EXPECT_EQ(answerer_.prompts, 1);
  EXPECT_THAT(answerer_.alerts, IsEmpty());
  EXPECT_EQ(controller().authRef(), nullptr);
  EXPECT_TRUE(machine().pluginLoaded);
  EXPECT_EQ(mediaServices().size(), 1U);
  EXPECT_TRUE(watchArmed());

  answerer_.password = kAdminPassword;
  controller().disableMedia(nullptr);
  EXPECT_EQ(answerer_.prompts, 2);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));
  EXPECT_FALSE(machine().pluginLoaded);
}

// A pull while the program's own loop is held elsewhere (an alert, the open
// status menu) is handled once the loop is back, never inside the hold.
TEST_F(CommandsTest, APullDuringAnAlertIsHandledAfterTheAlertCloses) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());
  const int fd = watchDescriptor();

  int startsWhileUp = -1;
  answerer_.whileAlertUp = [&] {
    card({"pull"});
    EXPECT_TRUE(waitReadable(fd)) << "the pull never reached the watch's descriptor";
    processEventsFor(100ms);
    startsWhileUp = application_.starts;
  };
  application_.runAlertPanel(bundle_.localizedStringForKey("MSG_Title"), "another alert");
  EXPECT_EQ(startsWhileUp, 0);
  EXPECT_EQ(application_.starts, 0) << "handled on the way out of the alert";

  ASSERT_TRUE(awaitAlerts(2));
  EXPECT_EQ(application_.starts, 1);
  EXPECT_EQ(application_.startsUnderAModalWindow, 0);
  EXPECT_EQ(alertKeys().back(), "MSG_RemoveSafely");
  EXPECT_FALSE(watchArmed());
}

TEST_F(CommandsTest, APullWhileTheStatusMenuIsOpenIsHandledAfterItCloses) {
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());

  QMenu* menu = interface_.statusMenu()->qMenu();
  menu->popup(QPoint(0, 0));
  ASSERT_FALSE(runLoop_.inDefaultMode());
  card({"pull"});
  ASSERT_TRUE(waitReadable(watchDescriptor()));
  processEventsFor(100ms);
  EXPECT_EQ(application_.starts, 0);

  menu->hide();
  ASSERT_TRUE(awaitAlerts(1));
  EXPECT_EQ(application_.starts, 1);
  EXPECT_THAT(alertKeys(), ElementsAre("MSG_RemoveSafely"));
}

}  // namespace
}  // namespace pomrel::integration

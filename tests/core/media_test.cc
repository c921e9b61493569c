// The eject, the administrator right and the disable and enable commands.
#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

const std::string kUnloadRun = std::string("exec:") + kKextUnloadPath + " " + kSxSPluginPath;
const std::string kUnloadDone = std::string("exit:") + kKextUnloadPath;

TEST_F(CoreTest, EjectRunsTheDiskToolUntilTheMediaGoesOrFailsWithOneAlertSayingWhy) {
  fake.bundle.strings = {{"EJECT_Holder", "%1 (%2)"}, {"EJECT_MoreHolders", "+%1"}};
  const std::string holders =
      "Volume failed to eject\npomrel-holder\t1\tvi%2\npomrel-holder\tx\tbad\n"
      "pomrel-holder\t2\tb\rc\npomrel-holder\t3\tc\npomrel-holder\t4\td\n"
      "pomrel-holder\t5\te\npomrel-holder\t6\tf\npomrel-holder\t7\tg\n";
  const auto exited = FakeProcessRunner::exited;
  const std::tuple<const char*, ProcessResult, std::size_t, std::string> cases[] = {
      {"busy, held by seven programs", exited(1, holders), 1,
       "MSG_EjectFail\n\nEJECT_HeldBy\nvi%2 (1)\nb?c (2)\nc (3)\nd (4)\ne (5)\n+2"},
      {"refused: ends at once", exited(3, "pomrel-cause\tnot-authorized\n"), 1,
       "MSG_EjectNotAuthorized"},
      {"a cause, even unknown, outweighs the phrase and holders",
       exited(1, holders + "pomrel-cause\tnew\tcause\n"), 1, "MSG_EjectError"},
      {"the media never goes", exited(0, ""), kEjectAttemptLimit, "MSG_EjectFail"},
      {"the tool cannot be started", ProcessResult{}, 1, "MSG_EjectFail"},
      {"the tool hangs", ProcessResult{true, true, -1, {}}, 1, "MSG_EjectFail"},
  };
  insertCard();
  app().setEjectToolTimeout(std::chrono::milliseconds(5));
  fake.processes.onRun = [this](const ProcessRun&) {
    switch (fake.processes.runs.size()) {
      case 1:  // another error, and the disk comes back under another name
        pullCard();
        insertCard("disk3");
        return FakeProcessRunner::exited(1, "Unable to find disk disk2\n");
      case 2:  // the phrase only after a NUL byte
        return FakeProcessRunner::exited(1, std::string("busy\0Volume failed to eject", 27));
      default:
        // The last allowed run still counts when it ejects.
        if (fake.processes.runs.size() == kEjectAttemptLimit) pullCard();
        return FakeProcessRunner::exited(0);
    }
  };
  EXPECT_TRUE(app().ejectDisk());
  const auto& made = fake.processes.runs;
  ASSERT_EQ(made.size(), kEjectAttemptLimit);
  EXPECT_EQ(joined(made[0].launchPath, made[0].arguments), "/usr/sbin/diskutil eject disk2");
  EXPECT_EQ(made[1].arguments, (Strings{"eject", "disk3"}));
  EXPECT_TRUE(alerts().empty());

  insertCard();
  for (const auto& [what, result, runs, message] : cases) {
    fake.processes.runs.clear();
    fake.application.alerts.clear();
    fake.processes.onRun = [answer = result](const ProcessRun&) { return answer; };
    EXPECT_FALSE(app().ejectDisk()) << what;
    EXPECT_EQ(fake.processes.runs.size(), runs) << what;
    EXPECT_EQ(fake.processes.runs.back().timeout, std::chrono::milliseconds(5)) << what;
    EXPECT_EQ(alerts(), Strings{message}) << what;
  }
}

TEST_F(CoreTest, DisableClearsTheWatchThenEjectsAndUnloadsOrRearmsOrSaysTheCardMustStay) {
  insertCard();
  ASSERT_TRUE(app().registerServiceNotification());
  // A dismissed prompt ends the command silently, one that could not be shown
  // says why; neither keeps an authorization.
  fake.authorization.promptAnswers = {errAuthorizationCanceled, errAuthorizationNoAgent};
  app().disableMedia(nullptr);
  EXPECT_TRUE(alerts().empty() && fake.processes.runs.empty() && app().authRef() == nullptr);
  app().disableMedia(nullptr);
  EXPECT_EQ(alerts(), Strings{"MSG_AuthFail\n\nMSG_AuthFail_NoAgent"});
  EXPECT_TRUE(fake.processes.runs.empty() && app().authRef() == nullptr);
  fake.application.alerts.clear();
  diskToolFails();
  app().disableMedia(nullptr);
  expectInOrder({"activate", "auth:prompt", "port:destroy", "run:/usr/sbin/diskutil eject disk2",
                 "alert:MSG_EjectFail", "port:create", "interest:add"});
  EXPECT_TRUE(fake.authorization.runs.empty());

  fake.log.clear();
  diskToolEjects();
  app().disableMedia(nullptr);
  expectInOrder({"port:destroy", "run:/usr/sbin/diskutil eject disk2", kUnloadRun, kUnloadDone,
                 "alert:MSG_RemoveSafely"});
  EXPECT_EQ(alerts(), (Strings{"MSG_EjectFail", "MSG_RemoveSafely"}));
  EXPECT_EQ(fake.authorization.prompts, 3) << "one granted prompt serves every later command";

  // The card must stay when the plug-in was not unloaded.
  const std::tuple<const char*, OSStatus, bool, int> cases[] = {
      {"the unload fails", errAuthorizationSuccess, true, 1},
      {"the unload outlasts its bound", errAuthorizationSuccess, false, 0},
      {"the unload cannot start", errAuthorizationToolExecuteFailure, true, 0},
  };
  for (const auto& [what, start, finishes, status] : cases) {
    fake.application.alerts.clear();
    fake.authorization.executeStatus = start;
    fake.authorization.setToolsFinish(finishes);
    fake.authorization.toolStatus = status;
    insertCard();
    app().disableMedia(nullptr);
    EXPECT_EQ(alerts(), Strings{"MSG_UnloadFail"}) << what;
  }
}

// The prompt's event loop lets the user reach the menu while a command runs.
TEST_F(CoreTest, TheCommandsAreEnabledByTheCardAndWhileOneRunsDisabledAndRefused) {
  insertCard();
  EXPECT_TRUE(enabled("disableMedia:") && !enabled("enableMedia:"));
  diskToolEjects();
  ASSERT_TRUE(app().registerMatchingNotification());
  int nested = 0;
  fake.authorization.duringPrompt = [&] {
    ++nested;
    insertCard("disk3");  // not watched from inside the command
    fake.runLoop.runUntilIdle();
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_EQ(app().authRef(), nullptr) << "kept before the right was granted";
    EXPECT_FALSE(enabled("disableMedia:") || enabled("enableMedia:"));
    EXPECT_TRUE(enabled("w0_OrderFront:") && enabled("terminate:") && enabled("disableMedia"));
    app().disableMedia(nullptr);
    app().enableMedia(nullptr);
  };
  app().disableMedia(nullptr);
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(fake.processes.runs.size() + fake.authorization.runs.size(), 2U);
  EXPECT_EQ(alerts(), Strings{"MSG_RemoveSafely"});
  EXPECT_TRUE(enabled("enableMedia:") && !enabled("disableMedia:"));
}

TEST_F(CoreTest, WithoutTheDriverBothCommandsOnlySaySoAndWithItEnableLoadsArmsAndTellsAFailedLoad) {
  fake.fileManager.paths.clear();
  app().disableMedia(nullptr);
  app().enableMedia(nullptr);
  EXPECT_EQ(fake.authorization.prompts + fake.processes.runs.size(), 0U);

  // The driver presents the card during the pause after the load.
  fake.fileManager.paths.insert(kSxSPluginPath);
  fake.log.clear();
  fake.clock.onPause = [this, inserted = false]() mutable {
    if (!std::exchange(inserted, true)) insertCard();
  };
  app().enableMedia(nullptr);
  expectInOrder({"activate", "auth:prompt", kUnloadRun, kUnloadDone,
                 std::string("exec:") + kKextLoadPath + " " + kSxSPluginPath, "sleep:1",
                 "usleep:10000", "port:create", "interest:add"});
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_EQ(alerts(), (Strings{"MSG_NotInstall", "MSG_NotInstall"}));

  // The load's end is taken on the run loop; a failure says why.
  const std::string failed = "MSG_LoadFail\n\nthe reader 2-1:1.0 has no driver after 10 s";
  fake.authorization.toolStatus = 1;
  fake.authorization.toolReason = failed.substr(failed.find("the"));
  fake.runLoop.runUntilIdle();
  EXPECT_EQ(alerts().back(), failed);

  // A Stop while a load is pending waits no longer than its unload: the
  // helper answers in turn, so the load's end comes with it and is told.
  fake.authorization.setToolsFinish(false);
  app().enableMedia(nullptr);
  fake.log.clear();
  fake.processes.onRun = [this](const ProcessRun&) {
    pullCard();
    fake.authorization.setToolsFinish(true);
    return FakeProcessRunner::exited(0);
  };
  app().disableMedia(nullptr);
  expectInOrder({kUnloadRun, kUnloadDone, "alert:" + failed, "alert:MSG_UnloadFail"});
}

}  // namespace
}  // namespace pomrel::testing

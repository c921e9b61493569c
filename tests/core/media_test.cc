// Eject, privileged driver control and the disable and enable commands.
#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

TEST_F(CoreTest, EjectRunsTheDiskToolOnlyWhileTheMediaIsThere) {
  EXPECT_TRUE(app().ejectDisk());
  EXPECT_TRUE(fake.processes.runs.empty());
  insertCard("disk2");
  diskToolEjects();
  EXPECT_TRUE(app().ejectDisk());
  ASSERT_EQ(fake.processes.runs.size(), 1U);
  EXPECT_EQ(fake.processes.runs[0].launchPath, "/usr/sbin/diskutil");
  EXPECT_EQ(fake.processes.runs[0].arguments, (Strings{"eject", "disk2"}));
  EXPECT_EQ(fake.processes.runs[0].timeout, kEjectToolTimeout);
  EXPECT_TRUE(fake.application.alerts.empty());
}

TEST_F(CoreTest, EjectFailurePhraseShowsOneAlertAndStops) {
  fake.bundle.strings = {{"MSG_Title", "Pomrel"}, {"MSG_EjectFail", "The card is in use."}};
  insertCard();
  diskToolFails();
  EXPECT_FALSE(app().ejectDisk());
  EXPECT_EQ(fake.processes.runs.size(), 1U);
  ASSERT_EQ(fake.application.alerts.size(), 1U);
  EXPECT_EQ(fake.application.alerts[0].title, "Pomrel");
  EXPECT_EQ(fake.application.alerts[0].message, "The card is in use.");
  EXPECT_TRUE(cardPresent());
}

TEST_F(CoreTest, EjectRetriesOnAnyOtherErrorText) {
  insertCard("disk2");
  fake.processes.onRun = [this](const ProcessRun&) {
    switch (fake.processes.runs.size()) {
      case 1:  // another error, and the disk comes back under another name
        pullCard();
        insertCard("disk3");
        return FakeProcessRunner::exited(1, "Unable to find disk disk2\n");
      case 2:  // the phrase only after a NUL byte
        return FakeProcessRunner::exited(1, std::string("busy\0Volume failed to eject", 27));
      case 3:  // the phrase in another case
        return FakeProcessRunner::exited(1, "volume failed to eject");
      case 4:  // nothing at all
        return FakeProcessRunner::exited(0);
      default:
        pullCard();
        return FakeProcessRunner::exited(0);
    }
  };
  EXPECT_TRUE(app().ejectDisk());
  ASSERT_EQ(fake.processes.runs.size(), 5U);
  EXPECT_EQ(fake.processes.runs[0].arguments[1], "disk2");
  EXPECT_EQ(fake.processes.runs[1].arguments[1], "disk3");
  EXPECT_TRUE(fake.application.alerts.empty());
}

TEST_F(CoreTest, EjectEndsAsAFailureWhenTheToolCannotDoItsWork) {
  struct Case {
    const char* what;
    ProcessResult result;
    std::size_t runs;
  };
  const Case cases[] = {
      {"the media never goes", FakeProcessRunner::exited(0), kEjectAttemptLimit},
      {"the tool cannot be started", FakeProcessRunner::notLaunched(), 1},
      {"the tool hangs", FakeProcessRunner::timedOut(), 1},
  };
  insertCard();
  app().setEjectToolTimeout(std::chrono::milliseconds(5));
  for (const Case& c : cases) {
    fake.processes.runs.clear();
    fake.application.alerts.clear();
    fake.processes.onRun = [&](const ProcessRun&) { return c.result; };
    EXPECT_FALSE(app().ejectDisk()) << c.what;
    EXPECT_EQ(fake.processes.runs.size(), c.runs) << c.what;
    EXPECT_EQ(fake.processes.runs.back().timeout, std::chrono::milliseconds(5)) << c.what;
    EXPECT_EQ(alertMessages(), Strings{"MSG_EjectFail"}) << c.what;
  }
  // The last allowed run still counts when it ejects.
  fake.processes.runs.clear();
  fake.processes.onRun = [this](const ProcessRun&) {
    if (fake.processes.runs.size() == kEjectAttemptLimit) pullCard();
    return FakeProcessRunner::exited(0);
  };
  EXPECT_TRUE(app().ejectDisk());
}

TEST_F(CoreTest, OnePromptServesEveryLaterPrivilegedRun) {
  EXPECT_EQ(app().initAuthorization(), errAuthorizationSuccess);
  ASSERT_NE(app().authRef(), nullptr);
  EXPECT_TRUE(app().exec_kextload());
  EXPECT_TRUE(app().exec_kextunload());
  EXPECT_TRUE(app().exec_kextload());
  EXPECT_EQ(fake.authorization.prompts, 1);

  const auto& copies = fake.authorization.copies;
  ASSERT_EQ(copies.size(), 2U);
  EXPECT_EQ(copies[0].rightNames, Strings{"system.privilege.admin"});
  EXPECT_EQ(copies[0].flags, 3U);
  EXPECT_TRUE(copies[0].environmentNames.empty());
  EXPECT_EQ(copies[1].flags, 2U);
  EXPECT_EQ(copies[1].environmentNames, (Strings{"username", "password"}));

  const auto& runs = fake.authorization.runs;
  ASSERT_EQ(runs.size(), 3U);
  EXPECT_EQ(runs[0].pathToTool, "/sbin/kextload");
  EXPECT_EQ(runs[1].pathToTool, "/sbin/kextunload");
  EXPECT_EQ(runs[1].arguments, Strings{kSxSPluginPath});
  // Only the unload is awaited, within its bound.
  EXPECT_TRUE(runs[0].waits.empty());
  EXPECT_THAT(runs[1].waits, ElementsAre(kKextUnloadWaitBound));

  // The tools' own results are not examined; a hanging unload is waited for
  // up to the bound only.
  fake.authorization.executeStatus = errAuthorizationToolExecuteFailure;
  EXPECT_TRUE(app().exec_kextload());
  EXPECT_TRUE(app().exec_kextunload());
  fake.authorization.executeStatus = errAuthorizationSuccess;
  fake.authorization.toolsFinish = false;
  EXPECT_TRUE(app().exec_kextunload());
  EXPECT_THAT(runs.at(3).waits, ElementsAre(kKextUnloadWaitBound));

  destroyController();
  EXPECT_THAT(fake.authorization.frees, ElementsAre(kAuthorizationFlagDestroyRights));
}

TEST_F(CoreTest, ARefusedPromptLeavesNoAuthorizationAndRunsNothing) {
  for (OSStatus answer : {errAuthorizationCanceled, errAuthorizationDenied}) {
    fake.authorization.promptAnswers = {answer};
    EXPECT_NE(app().initAuthorization(), errAuthorizationSuccess);
    EXPECT_EQ(app().authRef(), nullptr);
    EXPECT_FALSE(app().exec_kextload());
    EXPECT_FALSE(app().exec_kextunload());
  }
  EXPECT_EQ(fake.authorization.prompts, 2);
  EXPECT_EQ(fake.log.count("exec:"), 0U);
}

TEST_F(CoreTest, AFailedCreationAsksForNoRight) {
  constexpr OSStatus kInternal = -60008;
  fake.authorization.createStatus = kInternal;
  EXPECT_EQ(app().initAuthorization(), kInternal);
  EXPECT_EQ(app().authRef(), nullptr);
  EXPECT_TRUE(fake.authorization.copies.empty());
  EXPECT_EQ(fake.authorization.prompts, 0);
}

TEST(PrivilegedControl, NothingRunsWithoutAuthorization) {
  FakePlatform fake;
  ::testing::StrictMock<MockAuthorization> authorization;
  Platform platform{fake.application, fake.bundle,       fake.statusBar, fake.registry,
                    fake.runLoop,     fake.processes,    authorization,  fake.fileManager,
                    fake.processInfo, fake.userDefaults, fake.clock};
  AppController app(platform);
  EXPECT_FALSE(app.exec_kextload());
  EXPECT_FALSE(app.exec_kextunload());
}

TEST_F(CoreTest, DisableClearsTheWatchEjectsUnloadsThenTellsTheUser) {
  insertCard();
  diskToolEjects();
  ASSERT_TRUE(app().registerServiceNotification());
  app().disableMedia(nullptr);
  expectInOrder({"activate", "auth:prompt", "port:destroy", "run:/usr/sbin/diskutil eject disk2",
                 kUnloadRun, kUnloadDone, "alert:MSG_RemoveSafely"});
  EXPECT_EQ(alertMessages(), Strings{"MSG_RemoveSafely"});
  EXPECT_EQ(g_NotifyPort, nullptr);
}

TEST_F(CoreTest, AFailedEjectRearmsTheWatchAndKeepsThePlugin) {
  insertCard();
  diskToolFails();
  ASSERT_TRUE(app().registerServiceNotification());
  app().disableMedia(nullptr);
  expectInOrder({"port:destroy", "run:/usr/sbin/diskutil", "alert:MSG_EjectFail", "port:create",
                 "interest:add"});
  EXPECT_EQ(alertMessages(), Strings{"MSG_EjectFail"});
  EXPECT_EQ(fake.log.count("exec:"), 0U);
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.registry.liveRegistrations(), 1U);
}

TEST_F(CoreTest, WithoutTheDriverTheCommandsOnlySaySo) {
  fake.fileManager.paths.clear();
  insertCard();
  app().disableMedia(nullptr);
  pullCard();
  app().enableMedia(nullptr);
  EXPECT_EQ(alertMessages(), (Strings{"MSG_NotInstall", "MSG_NotInstall"}));
  EXPECT_EQ(fake.authorization.creations, 0);
  EXPECT_TRUE(fake.processes.runs.empty());
}

TEST_F(CoreTest, EnableWithoutCardUnloadsLoadsPausesThenArms) {
  // The driver publishes the card's media during the pause after the load.
  bool loaded = false;
  fake.authorization.onToolStart = [&](const PrivilegedRun& run) {
    loaded = loaded || run.pathToTool == kKextLoadPath;
  };
  fake.clock.onPause = [&] {
    if (loaded && !cardPresent()) insertCard();
  };
  app().enableMedia(nullptr);
  expectInOrder({"activate", "auth:prompt", kUnloadRun, kUnloadDone, kLoadRun, "sleep:1",
                 "usleep:10000", "port:create", "interest:add"});
  EXPECT_EQ(fake.clock.sleptMicroseconds, 1010000U);
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_TRUE(fake.application.alerts.empty());
}

TEST_F(CoreTest, EnableWithTheCardPresentOnlyLoads) {
  insertCard();
  app().enableMedia(nullptr);
  EXPECT_EQ(fake.log.count("exec:"), 1U);
  EXPECT_EQ(fake.log.count(kLoadRun), 1U);
  EXPECT_NE(g_NotifyPort, nullptr);
}

TEST_F(CoreTest, ACancelledPromptEndsTheCommandSilentlyAndTheNextPromptsAgain) {
  insertCard();
  diskToolEjects();
  fake.authorization.promptAnswers = {errAuthorizationCanceled, errAuthorizationCanceled};
  ASSERT_TRUE(app().registerServiceNotification());
  app().disableMedia(nullptr);
  app().enableMedia(nullptr);
  EXPECT_EQ(fake.authorization.prompts, 2);
  EXPECT_TRUE(fake.application.alerts.empty());
  EXPECT_TRUE(fake.processes.runs.empty());
  EXPECT_EQ(fake.log.count("exec:"), 0U);
  EXPECT_NE(g_NotifyPort, nullptr);  // the watch was left alone

  app().disableMedia(nullptr);
  EXPECT_EQ(fake.authorization.prompts, 3);
  EXPECT_EQ(alertMessages(), Strings{"MSG_RemoveSafely"});
}

}  // namespace
}  // namespace pomrel::testing

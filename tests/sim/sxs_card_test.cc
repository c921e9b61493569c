// sxs-card and the stand-in tools, run as child processes on a temporary
// machine.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "media/sxs_driver.h"
#include "sim_test_support.h"
#include "simulator/machine.h"
#include "simulator/privilege.h"
#include "simulator/registry_store.h"

namespace pomrel::sim {
namespace {

using ::testing::HasSubstr;

constexpr const char* kSxsCard = POMREL_SXS_CARD;

class SxsCardTest : public ::testing::Test {
 protected:
  test::RunResult card(std::vector<std::string> args) {
    args.insert(args.begin(), {"--machine", temp_.root()});
    return test::run(kSxsCard, args, {"PATH=/usr/bin:/bin"});
  }

  // Runs an installed stand-in tool the way the system does, optionally with
  // a privilege token.
  test::RunResult tool(const char* path, const std::vector<std::string>& args,
                       const std::string& token = "") {
    std::vector<std::string> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                 "POMREL_MACHINE=" + temp_.root()};
    if (!token.empty()) env.push_back(std::string(kPrivilegeTokenVariable) + "=" + token);
    return test::run(paths_.resolve(path), args, env);
  }

  void init(const std::string& delayMs = "0") {
    ASSERT_EQ(card({"init", "--load-delay", delayMs}).exitStatus, 0);
  }

  MachineState state() { return readMachineState(paths_).value_or(MachineState{}); }
  std::vector<EntryId> media() { return store_.listEntries(kSxSMediaServiceName); }
  std::string mediaDisk() {
    auto entry = store_.readEntry(kSxSMediaServiceName, media().at(0));
    return entry ? *(*entry)[kSxSBSDNameKey].string() : "";
  }
  bool pluginInstalled() {
    return std::filesystem::is_regular_file(paths_.resolve(kSxSPluginPath) +
                                            "/Contents/Info.plist");
  }
  std::string token() { return readPrivilegeToken(temp_.root()).value_or(""); }

  test::TempRoot temp_;
  MachinePaths paths_ = temp_.paths();
  RegistryStore store_{paths_};
};

mode_t permissions(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST_F(SxsCardTest, InitLaysOutTheMachineAndInitAgainResetsItButKeepsAccounts) {
  EXPECT_EQ(test::run(kSxsCard, {"status"}, {}).exitStatus, 2) << "no machine named";
  EXPECT_EQ(card({"status"}).exitStatus, 1) << "not initialised";
  EXPECT_EQ(card({"init", "--load-delay", "soon"}).exitStatus, 2);
  EXPECT_FALSE(std::filesystem::exists(paths_.statePath()));

  init();
  EXPECT_TRUE(pluginInstalled());
  for (const char* path : {kDiskUtilPath, kKextLoadPath, kKextUnloadPath}) {
    EXPECT_EQ(permissions(paths_.resolve(path)), 0755u) << path;
  }
  EXPECT_EQ(permissions(temp_.root() + "/private/var/db/privilege-token"), 0600u);
  EXPECT_TRUE(std::filesystem::is_directory(paths_.userHome() + "/Library/Preferences"));
  MachineState fresh = state();
  EXPECT_TRUE(fresh.driverInstalled && fresh.pluginLoaded);
  EXPECT_FALSE(fresh.cardInserted);
  EXPECT_EQ(fresh.loadDelayMs, 0u);
  EXPECT_THAT(card({"status"}).out, HasSubstr("media service:   none"));

  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  const EntryId first = media().at(0);
  test::RunResult status = card({"status"});
  EXPECT_THAT(status.out, HasSubstr("entry ID " + std::to_string(first)));
  const std::string admins = paths_.resolve("/private/etc/admins");
  std::ofstream(admins) << "someone:$y$hash\n";

  init("250");
  EXPECT_FALSE(state().cardInserted);
  EXPECT_EQ(state().loadDelayMs, 250u);
  EXPECT_TRUE(media().empty());
  EXPECT_EQ(test::readFile(admins), "someone:$y$hash\n");
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  EXPECT_GT(media().at(0), first) << "entry IDs survive a reset";
}

TEST_F(SxsCardTest, InsertAndPullFollowTheCardAndRefuseWhatMakesNoSense) {
  init();
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  ASSERT_EQ(media().size(), 1u);
  EXPECT_EQ(mediaDisk(), "disk2");
  const EntryId id = media().at(0);

  test::RunResult again = card({"insert", "--disk", "disk3"});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_THAT(again.err, HasSubstr("already inserted"));
  EXPECT_EQ(media(), std::vector<EntryId>{id});
  EXPECT_EQ(state().diskName, "disk2");

  ASSERT_EQ(card({"pull"}).exitStatus, 0);
  EXPECT_TRUE(media().empty());
  EXPECT_EQ(card({"pull"}).exitStatus, 1);

  for (const std::string& bad : {std::string(256, 'd'), std::string("a/b"), std::string()}) {
    EXPECT_EQ(card({"insert", "--disk", bad}).exitStatus, 2) << bad.size();
  }
  EXPECT_EQ(card({"insert", "--disk"}).exitStatus, 2);
  EXPECT_EQ(card({"insert", "disk2"}).exitStatus, 2);
  EXPECT_EQ(card({"pull", "now"}).exitStatus, 2);
  EXPECT_EQ(card({"eject"}).exitStatus, 2);
  EXPECT_FALSE(state().cardInserted);

  const std::string longest(255, 'd');
  ASSERT_EQ(card({"insert", "--disk=" + longest}).exitStatus, 0);
  EXPECT_EQ(mediaDisk(), longest);
  EXPECT_GT(media().at(0), id);
}

TEST_F(SxsCardTest, RemovingTheDriverUnloadsItAndInstallingBringsItBackUnloaded) {
  init();
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  ASSERT_EQ(card({"remove-driver"}).exitStatus, 0);
  EXPECT_FALSE(std::filesystem::exists(paths_.resolve(kSxSPluginPath)));
  EXPECT_TRUE(media().empty());
  EXPECT_FALSE(state().driverInstalled || state().pluginLoaded);
  EXPECT_EQ(card({"remove-driver"}).exitStatus, 1);

  ASSERT_EQ(card({"install-driver"}).exitStatus, 0);
  EXPECT_TRUE(pluginInstalled());
  EXPECT_TRUE(state().driverInstalled);
  EXPECT_FALSE(state().pluginLoaded);
  EXPECT_TRUE(media().empty());
  EXPECT_EQ(card({"install-driver"}).exitStatus, 1);
}

TEST_F(SxsCardTest, BusyChangesAreSentToTheMediaService) {
  init();
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  const EntryId id = media().at(0);
  ASSERT_EQ(card({"busy", "on"}).exitStatus, 0);
  EXPECT_TRUE(state().busy);
  std::vector<PendingMessage> messages = store_.listMessages(kSxSMediaServiceName, id);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(RegistryStore::readMessage(messages[0].path), kSxSMessageBusyStateChanged);
  ASSERT_EQ(card({"busy", "on"}).exitStatus, 0);
  EXPECT_EQ(store_.listMessages(kSxSMediaServiceName, id).size(), 1u) << "no change, no message";
  ASSERT_EQ(card({"busy", "off"}).exitStatus, 0);
  EXPECT_EQ(store_.listMessages(kSxSMediaServiceName, id).size(), 2u);
  EXPECT_EQ(card({"busy", "maybe"}).exitStatus, 2);
  EXPECT_EQ(card({"busy"}).exitStatus, 2);
}

TEST_F(SxsCardTest, DiskutilEjectsTheCardsDiskUnlessItsVolumeIsBusy) {
  init();
  ASSERT_EQ(card({"insert"}).exitStatus, 0);

  test::RunResult usage = tool(kDiskUtilPath, {});
  EXPECT_EQ(usage.exitStatus, 1);
  EXPECT_THAT(usage.err, HasSubstr("usage"));
  test::RunResult unknown = tool(kDiskUtilPath, {"eject", "disk7"});
  EXPECT_EQ(unknown.exitStatus, 1);
  EXPECT_THAT(unknown.err, HasSubstr("Unable to find disk disk7"));

  ASSERT_EQ(card({"busy", "on"}).exitStatus, 0);
  test::RunResult busy = tool(kDiskUtilPath, {"eject", "disk2"});
  EXPECT_EQ(busy.exitStatus, 1);
  EXPECT_THAT(busy.err, HasSubstr("Volume failed to eject"));
  EXPECT_TRUE(busy.out.empty());
  EXPECT_EQ(media().size(), 1u);

  ASSERT_EQ(card({"busy", "off"}).exitStatus, 0);
  test::RunResult ejected = tool(kDiskUtilPath, {"eject", "disk2"});
  EXPECT_EQ(ejected.exitStatus, 0);
  EXPECT_EQ(ejected.out, "Disk disk2 ejected\n");
  EXPECT_TRUE(media().empty()) << "the service is gone when the tool exits";
  EXPECT_TRUE(state().diskEjected && state().cardInserted);
  EXPECT_EQ(tool(kDiskUtilPath, {"eject", "disk2"}).exitStatus, 1);
}

TEST_F(SxsCardTest, KextToolsNeedThePrivilegeTokenAndTheInstalledPlugin) {
  init();
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  const EntryId before = media().at(0);
  const std::string other = "/System/Library/Extensions/SxS Memory Card.kext";
  for (const auto& [path, given] :
       {std::pair{std::string(kSxSPluginPath), std::string()},
        std::pair{std::string(kSxSPluginPath), std::string(64, 'f')}, std::pair{other, token()}}) {
    test::RunResult refused = tool(kKextUnloadPath, {path}, given);
    EXPECT_EQ(refused.exitStatus, 1) << path;
    EXPECT_FALSE(refused.err.empty());
    EXPECT_TRUE(state().pluginLoaded);
    EXPECT_EQ(media(), std::vector<EntryId>{before});
  }
  EXPECT_EQ(tool(kKextLoadPath, {}, token()).exitStatus, 1);

  ASSERT_EQ(tool(kKextUnloadPath, {kSxSPluginPath}, token()).exitStatus, 0);
  EXPECT_FALSE(state().pluginLoaded);
  EXPECT_TRUE(media().empty());
  EXPECT_EQ(tool(kKextLoadPath, {kSxSPluginPath}).exitStatus, 1);
  EXPECT_FALSE(state().pluginLoaded);

  ASSERT_EQ(tool(kKextLoadPath, {kSxSPluginPath}, token()).exitStatus, 0);
  EXPECT_TRUE(state().pluginLoaded);
  ASSERT_EQ(media().size(), 1u);
  EXPECT_GT(media().at(0), before);

  ASSERT_EQ(card({"remove-driver"}).exitStatus, 0);
  EXPECT_EQ(tool(kKextLoadPath, {kSxSPluginPath}, token()).exitStatus, 1);
  EXPECT_FALSE(state().pluginLoaded);
}

TEST_F(SxsCardTest, LoadPresentsAnEjectedCardAgainAfterTheLoadDelay) {
  init("50");
  ASSERT_EQ(card({"insert"}).exitStatus, 0);
  ASSERT_EQ(tool(kDiskUtilPath, {"eject", "disk2"}).exitStatus, 0);
  ASSERT_EQ(tool(kKextUnloadPath, {kSxSPluginPath}, token()).exitStatus, 0);
  ASSERT_EQ(tool(kKextLoadPath, {kSxSPluginPath}, token()).exitStatus, 0);
  EXPECT_EQ(media().size(), 1u) << "published before the tool exits";
  EXPECT_FALSE(state().diskEjected || state().mediaArrivalPending);
}

TEST_F(SxsCardTest, ConcurrentCommandsNeverLoseAnUpdate) {
  init();
  std::vector<std::thread> inserters;
  std::vector<int> statuses(8, -1);
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    inserters.emplace_back([&, i] {
      statuses[i] = card({"insert", "--disk", "disk" + std::to_string(i)}).exitStatus;
    });
  }
  for (auto& inserter : inserters) inserter.join();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0), 1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 1), 7);
  ASSERT_EQ(media().size(), 1u);
  EXPECT_EQ(mediaDisk(), state().diskName);
}

}  // namespace
}  // namespace pomrel::sim

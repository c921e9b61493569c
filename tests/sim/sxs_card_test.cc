// The stand-in disk and driver tools, run as the system runs them on a
// temporary machine that sxs-card prepares.
#include <filesystem>

#include "gmock/gmock.h"
#include "media/sxs_driver.h"
#include "simulator/machine.h"
#include "simulator/privilege.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::sim {
namespace {

using ::testing::HasSubstr;
using Args = std::vector<std::string>;

class SxsCardTest : public ::testing::Test {
 protected:
  void SetUp() override { card({"init", "--load-delay", "0"}); }

  // Each run must end with `expected`, and say why on standard error exactly
  // when it fails.
  test::RunResult expect(test::RunResult result, int expected, const std::string& what) {
    EXPECT_EQ(result.exitStatus, expected) << what << ": " << result.err;
    EXPECT_EQ(result.err.empty(), expected == 0) << what;
    return result;
  }
  test::RunResult card(Args args, int expected = 0) {
    args.insert(args.begin(), {"--machine", temp_.root()});
    return expect(test::run(POMREL_SXS_CARD, args, {"PATH=/usr/bin:/bin"}), expected, args[2]);
  }
  // An installed stand-in tool, run as the system runs it, with `token` as
  // its privilege token unless empty.
  test::RunResult tool(const char* path, const Args& args, const std::string& token,
                       int expected = 0) {
    Args env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "POMREL_MACHINE=" + temp_.root()};
    if (!token.empty()) env.push_back(std::string(kPrivilegeTokenVariable) + "=" + token);
    return expect(test::run(paths_.resolve(path), args, env), expected, path);
  }
  std::string token() { return readPrivilegeToken(temp_.root()).value_or(""); }
  MachineState state() { return readMachineState(paths_).value_or(MachineState{}); }
  std::vector<EntryId> media() { return store_.listEntries(kSxSMediaServiceName); }
  test::TempRoot temp_;
  MachinePaths paths_ = temp_.paths();
  RegistryStore store_{paths_};
};

TEST_F(SxsCardTest, KextToolsNeedTheTokenAndThePluginAndDiskutilEjectsAnIdleVolumeOnly) {
  card({"insert"});
  const EntryId before = media().at(0);
  tool(kKextUnloadPath, {kSxSPluginPath}, "", 1);
  tool(kKextUnloadPath, {kSxSPluginPath}, std::string(64, 'f'), 1);
  tool(kKextUnloadPath, {kDriverBundlePath}, token(), 1);
  tool(kKextLoadPath, {}, token(), 1);
  EXPECT_TRUE(state().pluginLoaded && media() == std::vector<EntryId>{before});
  tool(kKextUnloadPath, {kSxSPluginPath}, token());
  EXPECT_TRUE(!state().pluginLoaded && media().empty());
  tool(kKextLoadPath, {kSxSPluginPath}, "", 1);
  EXPECT_FALSE(state().pluginLoaded);
  tool(kKextLoadPath, {kSxSPluginPath}, token());
  EXPECT_TRUE(state().pluginLoaded && media().size() == 1 && media()[0] > before);

  EXPECT_THAT(tool(kDiskUtilPath, {"eject", "disk7"}, "", 1).err,
              HasSubstr("Unable to find disk disk7"));
  card({"busy", "on", "vim"});
  const test::RunResult busy = tool(kDiskUtilPath, {"eject", "disk2"}, "", 1);
  EXPECT_THAT(busy.err, ::testing::ContainsRegex(
                            "Volume failed to eject.*\npomrel-holder\t[1-9][0-9]*\tvim\n"));
  EXPECT_TRUE(busy.out.empty() && media().size() == 1);
  card({"busy", "off"});
  EXPECT_EQ(tool(kDiskUtilPath, {"eject", "disk2"}, "").out, "Disk disk2 ejected\n");
  EXPECT_TRUE(media().empty() && state().diskEjected && state().cardInserted)
      << "the service is gone when the tool exits";

  card({"remove-driver"});
  tool(kKextLoadPath, {kSxSPluginPath}, token(), 1);
  EXPECT_FALSE(state().pluginLoaded);
}

}  // namespace
}  // namespace pomrel::sim

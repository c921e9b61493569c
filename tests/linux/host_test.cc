// The host backend on real devices, as root (see host_fixture.h):
// pomrel-diskutil, as installed with Pomrel, names who holds a busy card and
// says why a detach was refused. The udev registry's watch and the eject run
// in host_privileged_test.cc's commands.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "platform/posix/file_reader.h"
#include "tests/linux/host_fixture.h"

namespace pomrel::host::test {
namespace {

using namespace std::chrono_literals;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = hostTestsUnavailable(); !why.empty()) GTEST_SKIP() << why;
  }
  // pomrel-diskutil as installed with Pomrel, under a prefix of its own.
  ToolRun eject(std::vector<std::string> runAs = {}) {
    const std::string prefix = machine_.folder() + "/prefix";
    installed_ =
        installed_ ||
        runTool({CMAKE_COMMAND, "--install", POMREL_BUILD_DIR, "--prefix", prefix}).exitStatus == 0;
    runAs.insert(runAs.end(),
                 {prefix + "/" POMREL_INSTALL_BUNDLE "/Contents/Helpers/pomrel-diskutil", "eject",
                  card_.name});
    return runTool(runAs);
  }

  HostMachine machine_;
  Card card_;
  bool installed_ = false;
};

TEST_F(HostTest, ABusyVolumeStaysMountedAndItsHolderIsNamed) {
  ASSERT_EQ(machine_.start(card_), "");
  ASSERT_EQ(machine_.mount(card_), "");
  const std::string file = card_.mountPoint + "/clip.mxf";
  std::ofstream(file) << "footage";
  Child holder({"/bin/sleep", "60"}, machine_.folder() + "/holder.log", file);
  const std::string comm = "/proc/" + std::to_string(holder.pid()) + "/comm";
  waitUntil([&] { return posix::readFile(comm, 4096).bytes == "sleep\n"; }, 2s);

  const ToolRun run = eject();
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err.rfind("Volume failed to eject\n", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("target is busy"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\npomrel-holder\t" + std::to_string(holder.pid()) + "\tsleep\n"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(HostMachine::mounted(card_.mountPoint));
  EXPECT_TRUE(HostMachine::attached(card_));
}

// udisks2 refuses the detach to a user (no polkit authority on the private bus).
TEST_F(HostTest, ARefusedDetachIsToldAsRefusedNotAsAVolumeInUse) {
  ASSERT_EQ(machine_.start(card_), "");
  std::filesystem::permissions(machine_.folder(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const ToolRun run =
      eject({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_EQ(run.err.find("Volume failed to eject"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\npomrel-cause\tnot-authorized\n"), std::string::npos) << run.err;
  EXPECT_TRUE(HostMachine::attached(card_));
}

}  // namespace
}  // namespace pomrel::host::test

// The host backend on real devices, as root (see host_fixture.h):
// pomrel-diskutil, as installed with Pomrel, says why a detach was refused
// and names who holds a busy card. The udev registry's watch and the eject
// run in host_privileged_test.cc's commands.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "platform/posix/file_reader.h"
#include "tests/linux/host_fixture.h"

namespace pomrel::host::test {
namespace {

using namespace std::chrono_literals;

TEST(HostTest, ARefusedDetachIsToldAsRefusedAndABusyVolumeStaysMountedWithItsHolderNamed) {
  if (const std::string why = hostTestsUnavailable(); !why.empty()) GTEST_SKIP() << why;
  HostMachine machine;
  Card card;
  ASSERT_EQ(machine.start(card), "");
  const std::string prefix = machine.folder() + "/prefix";
  ASSERT_EQ(runTool({CMAKE_COMMAND, "--install", POMREL_BUILD_DIR, "--prefix", prefix}).exitStatus,
            0);
  const std::string diskutil =
      prefix + "/" POMREL_INSTALL_BUNDLE "/Contents/Helpers/pomrel-diskutil";

  // udisks2 refuses the detach to a user (no polkit authority on the private bus).
  std::filesystem::permissions(machine.folder(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  ToolRun run = runTool({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                         diskutil, "eject", card.name});
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_EQ(run.err.find("Volume failed to eject"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\npomrel-cause\tnot-authorized\n"), std::string::npos) << run.err;
  EXPECT_TRUE(HostMachine::attached(card));

  ASSERT_EQ(machine.mount(card), "");
  const std::string file = card.mountPoint + "/clip.mxf";
  std::ofstream(file) << "footage";
  Child holder({"/bin/sleep", "60"}, machine.folder() + "/holder.log", file);
  const std::string comm = "/proc/" + std::to_string(holder.pid()) + "/comm";
  waitUntil([&] { return posix::readFile(comm, 4096).bytes == "sleep\n"; }, 2s);
  run = runTool({diskutil, "eject", card.name});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err.rfind("Volume failed to eject\n", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("target is busy"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\npomrel-holder\t" + std::to_string(holder.pid()) + "\tsleep\n"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(HostMachine::mounted(card.mountPoint));
  EXPECT_TRUE(HostMachine::attached(card));
}

}  // namespace
}  // namespace pomrel::host::test

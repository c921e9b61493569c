// The host backend on real devices, as root (see host_fixture.h): the udev
// registry watches a loop device that a udev rule marks as the card, and
// pomrel-diskutil, as installed with Pomrel, names who holds a busy card and
// says why a detach was refused. The eject runs in host_privileged_test.cc.
#include <poll.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "platform/linux/registry.h"
#include "platform/posix/file_reader.h"
#include "tests/linux/host_fixture.h"
#include "tests/registry_probe.h"

namespace pomrel::host::test {
namespace {

using pomrel::testing::Inbox;
using pomrel::testing::kTerminated;

using namespace std::chrono_literals;

// A registry over the real udev with a watch on the card.
struct Watch {
  LinuxRegistry registry;
  IONotificationPortRef port = registry.notificationPortCreate();
  Inbox inbox;
  io_object_t registration = testing::watch(registry, port, kCardService, inbox);

  // Delivers what arrives within `bound`, as the run loop would.
  void deliverFor(std::chrono::milliseconds bound) {
    RunLoopSource* source = registry.notificationPortGetRunLoopSource(port);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (auto left = bound; left > 0ms;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(
             deadline - std::chrono::steady_clock::now())) {
      pollfd fd{source->descriptor(), POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) == 1) source->perform();
    }
  }
  ~Watch() {
    registry.release(registration);
    registry.notificationPortDestroy(port);
  }
};

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

TEST_F(HostTest, APulledCardEndsItsWatchOnce) {
  ASSERT_EQ(machine_.start(card_), "");
  Watch watch;
  ASSERT_NE(watch.registration, 0U);
  ASSERT_EQ(machine_.pull(card_), "");
  // The detach changes the disk, the removal removes it: one termination.
  watch.deliverFor(2s);
  EXPECT_EQ(watch.inbox.messages, kTerminated);
  EXPECT_FALSE(posix::readFile("/sys/block/" + card_.name + "/size", 4096).ok()) << "removed";
  EXPECT_EQ(testing::firstDisk(watch.registry, kCardService), "none");
}

TEST_F(HostTest, ABusyVolumeStaysMountedAndItsHolderIsNamed) {
  ASSERT_EQ(machine_.start(card_), "");
  ASSERT_EQ(machine_.mount(card_), "");
  const std::string file = card_.mountPoint + "/clip.mxf";
  std::ofstream(file) << "footage";
  Child holder({"sleep", "60"}, machine_.folder() + "/holder.log", file);
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
  const ToolRun run = eject({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  EXPECT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_EQ(run.err.find("Volume failed to eject"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("\npomrel-cause\tnot-authorized\n"), std::string::npos) << run.err;
  EXPECT_TRUE(HostMachine::attached(card_));
}

}  // namespace
}  // namespace pomrel::host::test

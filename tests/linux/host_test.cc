// The host backend on real devices, as root (see host_fixture.h):
// pomrel-diskutil, as installed with Pomrel, says why a detach was refused
// and names who holds a busy card; the privileged helper's claim of a card's
// disk is refused by the kernel whatever uses it, and a held claim keeps
// anything from using it. The udev registry's watch and the eject run in
// host_privileged_test.cc's commands.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/swap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "gtest/gtest.h"
#include "platform/linux/driverctl/disk_claims.h"
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

// A child process that keeps what `hold` set up (a mount in a namespace of
// its own, an exclusive open) until this is destroyed.
struct Holder {
  explicit Holder(const std::function<bool()>& hold) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (hold() && ::write(ready[1], "1", 1) == 1) ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 0;
    held = pid > 0 && ::read(ready[0], &answer, 1) == 1;
    ::close(ready[0]);
  }
  ~Holder() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
  bool held = false;
};

TEST(HostTest, TheKernelRefusesTheClaimOfACardInUseWhateverUsesItAndAHeldClaimKeepsItFree) {
  if (const std::string why = hostTestsUnavailable(); !why.empty()) GTEST_SKIP() << why;
  HostMachine machine;
  Card card;
  ASSERT_EQ(machine.start(card), "");
  const std::string first = card.device + "p1";
  const std::string second = card.device + "p2";
  const std::string elsewhere = machine.folder() + "/elsewhere";
  std::filesystem::create_directory(elsewhere);
  ASSERT_EQ(runTool({"/sbin/mkswap", "-q", second}).exitStatus, 0);
  // What the helper answers for the card's disk, with the kernel's claims.
  Udev udev;
  std::vector<ReaderDisk> disks;
  disks.push_back({udev.device("block", card.name), ""});
  const auto refusal = [&] { return HeldClaims().claimAll(udev, disks, claimBlockDevice, {}); };
  // The kernel lets a namespace's mounts go a moment after its last process.
  const auto freed = [&] { return waitUntil([&] { return refusal().empty(); }, 5s); };
  const std::string inUse = card.name + "p1 of a card is in use";
  const std::string unseen = " (open for exclusive use, or mounted where this helper cannot see)";
  EXPECT_EQ(refusal(), "");
  {
    const Holder other([&] {
      return ::unshare(CLONE_NEWNS) == 0 &&
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount(first.c_str(), elsewhere.c_str(), "ext4", 0, nullptr) == 0;
    });
    EXPECT_TRUE(other.held && !HostMachine::mounted(elsewhere));
    EXPECT_EQ(refusal(), inUse + unseen) << "mounted in another mount namespace only";
  }
  EXPECT_TRUE(freed());
  {
    const Holder opener([&] { return ::open(first.c_str(), O_RDONLY | O_EXCL) >= 0; });
    EXPECT_TRUE(opener.held);
    EXPECT_EQ(refusal(), inUse + unseen) << "open for exclusive use by another process";
  }
  EXPECT_TRUE(freed());
  EXPECT_EQ(::swapon(second.c_str(), 0), 0) << std::strerror(errno);
  EXPECT_EQ(refusal(), card.name + "p2 of a card is in use: swap");
  EXPECT_EQ(::swapoff(second.c_str()), 0) << std::strerror(errno);
  EXPECT_TRUE(freed());
  ASSERT_EQ(machine.mount(card), "");
  EXPECT_EQ(refusal(), inUse + ": mounted at " + card.mountPoint);
  EXPECT_EQ(::umount2(card.mountPoint.c_str(), 0), 0);
  EXPECT_TRUE(freed());
  // While the claim is held, nothing can mount the card.
  HeldClaims held;
  ASSERT_EQ(held.claimAll(udev, disks, claimBlockDevice, {}), "");
  EXPECT_NE(::mount(first.c_str(), elsewhere.c_str(), "ext4", 0, nullptr), 0);
  EXPECT_EQ(errno, EBUSY);
}

}  // namespace
}  // namespace pomrel::host::test

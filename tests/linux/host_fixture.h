// Real devices for the host tests, as root: systemd-udevd, a udev rule that
// marks a card image's loop device as the card, a private system bus with
// udisksd on it, and a card image with two partitions (ext4 on the first)
// attached to a loop device of its own. Everything a HostMachine started is
// stopped by its pid, and its loop device detached and removed, when it is
// destroyed, whether the test passed or not; daemons it started also die with
// the test process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/sim/sim_test_support.h"

namespace pomrel::host::test {

// Why the host tests cannot run here ("needs root", ...), or "" when they can.
std::string hostTestsUnavailable();

using ToolRun = sim::test::RunResult;

// Checks `done` every 20 ms until it answers true (true) or `bound` has
// passed (false).
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);

// Runs `argv` (argv[0] an absolute path) with this process's environment
// and `input` on standard input, without a shell, and collects both outputs.
ToolRun runTool(std::vector<std::string> argv, const std::string& input = "");

// A process started in the background (argv[0] an absolute path) that dies
// with this process; killed (SIGTERM, then SIGKILL) and reaped when
// destroyed. Standard output and error go to `log` (appended), standard
// input is /dev/null unless `input` names a file to read it from.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& log, const std::string& input = "");
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct Card {
  int number = -1;
  std::string name;        // "loop123": the kernel name
  std::string device;      // "/dev/loop123"
  std::string mountPoint;  // of its first partition, once mounted
};

class HostMachine {
 public:
  ~HostMachine();

  // Each of these answers "" on success, otherwise what failed.
  // Starts systemd-udevd unless one runs already and installs the test rule,
  // starts a private system bus (DBUS_SYSTEM_BUS_ADDRESS points at it) with
  // udisksd on it, then attaches the card.
  std::string start(Card& card);
  // Makes the card's image, attaches it to a loop device of its own and
  // waits until udev has processed it.
  std::string attach(Card& card);
  // Mounts the card's first partition through udisks2 (udisksctl).
  std::string mount(Card& card);
  // Detaches the card's loop device and removes it outright, as a card that
  // is pulled out takes its disk with it.
  std::string pull(Card& card);

  // Whether `path` is a mount point now.
  static bool mounted(const std::string& path);
  // Whether the card's loop device still has its image.
  static bool attached(const Card& card);
  [[nodiscard]] const std::string& folder() const { return folder_; }
  // The logs of the daemons started, for a failing test's message.
  [[nodiscard]] std::string logs() const;

 private:
  std::string startUdev();
  std::string startUdisks();

  // Removed last, once everything that used it has stopped.
  sim::test::TempRoot temp_;
  const std::string& folder_ = temp_.root();
  std::string rule_;
  std::optional<std::string> previousBusAddress_;
  std::optional<Child> udevd_;
  std::optional<Child> bus_;
  std::optional<Child> udisksd_;
  // What each card has become, by loop number, for the tear-down.
  std::map<int, Card> cards_;
};

}  // namespace pomrel::host::test

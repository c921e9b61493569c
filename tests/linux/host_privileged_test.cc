// The disable and enable commands through the core on the host backend, as
// root, with a real card (see host_fixture.h), polkitd, pkexec and
// pomrel-driverctl's test build, whose module action is a stand-in tool (this
// kernel loads no modules). Without root, polkit or loop devices the test is
// skipped with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/linux/driver_control.h"
#include "platform/linux/driver_module.h"
#include "platform/linux/host_authorization.h"
#include "platform/linux/host_file_manager.h"
#include "platform/linux/host_platform.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/process_runner.h"
#include "tests/fakes/fakes.h"
#include "tests/linux/host_fixture.h"

namespace pomrel::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr const char* kBusSocket = "/run/dbus/system_bus_socket";
constexpr const char* kBusPidFile = "/run/dbus/pid";
constexpr const char* kTestAction = "org.pomrel.driverctl.test";
constexpr const char* kActionFile = "/usr/share/polkit-1/actions/org.pomrel.driverctl.test.policy";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";

std::string contentsOf(const std::string& path) {
  return posix::readFile(path, posix::kSystemFileLimit).bytes;
}

bool busAnswers() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kBusSocket, sizeof address.sun_path - 1);
  const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return up;
}

bool running(pid_t pid) {
  const std::string stat = contentsOf("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t state = stat.rfind(") ");
  return state != std::string::npos && stat[state + 2] != 'Z';
}

// Stops a process that the bus this test started has started, and waits
// until the bus has reaped it.
void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const std::string entry = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 200 && fs::exists(entry); ++i) std::this_thread::sleep_for(10ms);
}

// The running processes of the program at `path`.
std::vector<pid_t> processesOf(const std::string& path) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    if (fs::read_symlink(entry.path() / "exe", error) == path && running(std::stoi(name))) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

// The system bus with polkitd on it (started here if none runs) and the test
// build's polkit action. Everything made here is undone when it is destroyed.
class Polkit {
 public:
  // Why the tests cannot run here, or "" when they can.
  static std::string unavailable() {
    if (::geteuid() != 0) return "needs root (to install a polkit action)";
    for (const char* tool : {kPkexecPath, kPolkitd, "/usr/bin/dbus-daemon"}) {
      if (::access(tool, X_OK) != 0) return std::string(tool) + " is missing (scripts/deps.sh)";
    }
    return "";
  }

  // "" when ready; otherwise what failed.
  std::string start() {
    std::string action = contentsOf(POMREL_POLICY_TEMPLATE);
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"\"org.pomrel.driverctl\"",
                                              std::string("\"") + kTestAction + "\""},
          {"@POMREL_DRIVERCTL_PATH@", POMREL_DRIVERCTL_STANDIN},
          {"@POMREL_DRIVER_MODULE@", kDriverModule}}) {
      const std::size_t at = action.find(from);
      if (at == std::string::npos) return "the polkit action has no " + from;
      action.replace(at, from.size(), to);
    }
    std::ofstream(kActionFile) << action;
    fs::remove(POMREL_STANDIN_MODULE_LOG);
    if (busAnswers()) {
      // A polkitd already running reads the new action within about a second.
      std::this_thread::sleep_for(2s);
      return "";
    }
    // A bus that ended without cleaning up leaves its pid file, which would
    // stop a new one from starting.
    fs::remove(kBusPidFile);
    fs::remove(kBusSocket);
    fs::create_directories("/run/dbus");
    // Our child, so that we reap it.
    std::string program = "/usr/bin/dbus-daemon";
    std::string system = "--system";
    std::string noFork = "--nofork";
    if (posix::spawnChild(program, {program.data(), system.data(), noFork.data(), nullptr}, environ,
                          {.input = posix::kNullDescriptor}, &busPid_) != 0) {
      return "dbus-daemon cannot be started";
    }
    for (int i = 0; i < 500 && !busAnswers(); ++i) std::this_thread::sleep_for(10ms);
    return busAnswers() ? "" : "the system bus did not start";
  }

  Polkit() = default;
  Polkit(const Polkit&) = delete;
  Polkit& operator=(const Polkit&) = delete;
  ~Polkit() {
    if (busPid_ > 0) {
      for (const pid_t polkitd : processesOf(kPolkitd)) stop(polkitd);
      ::kill(busPid_, SIGTERM);
      ::waitpid(busPid_, nullptr, 0);
      fs::remove(kBusPidFile);
      fs::remove(kBusSocket);
    }
    fs::remove(kActionFile);
    fs::remove(POMREL_STANDIN_MODULE_LOG);
  }

 private:
  pid_t busPid_ = 0;
};

// Shows each alert after noting what the module tool had done by then.
class TestApplication : public fakes::FakeApplication {
 public:
  void runAlertPanel(const std::string& title, const std::string& message) override {
    moduleLogAtAlerts.push_back(contentsOf(POMREL_STANDIN_MODULE_LOG));
    FakeApplication::runAlertPanel(title, message);
  }
  Strings moduleLogAtAlerts;
};

class HostCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& why : {test::hostTestsUnavailable(), Polkit::unavailable()}) {
      if (!why.empty()) GTEST_SKIP() << why;
    }
    ASSERT_EQ(polkit_.start(), "");
    ASSERT_EQ(machine_.startUdev(), "");
    ASSERT_EQ(machine_.startSystemBus(), "");
    ASSERT_EQ(machine_.startUdisks(), "");
    ASSERT_EQ(machine_.makeCard(card_), "");
    ASSERT_EQ(machine_.mount(card_), "");
  }
  bool attached() {
    return posix::readFile("/sys/block/" + card_.name + "/loop/backing_file", 4096).ok();
  }

  Polkit polkit_;
  test::HostMachine machine_;
  test::Card card_;
};

// The host's backends as Pomrel makes them, but for the module: the helper's
// test build serves it, and "loop", which this kernel has built in, stands
// for the card reader's module in the plug-in's test.
TEST_F(HostCommandsTest, DisableEjectsTheCardUnloadsTheModuleAndSaysSoThenEnableLoadsIt) {
  std::ostringstream diagnostics;
  Backends backends = makeHostBackends(
      {POMREL_BUNDLE_CONTENTS, "org.pomrel.test", kSxSPluginPath, "/Pomrel.app"}, diagnostics);
  backends.fileManager = std::make_unique<HostFileManager>(kSxSPluginPath, "loop");
  backends.authorization =
      std::make_unique<HostAuthorization>(POMREL_DRIVERCTL_STANDIN, kSxSPluginPath, diagnostics);
  fakes::FakePlatform fake;
  TestApplication application;
  Platform platform{application,
                    fake.bundle,
                    fake.statusBar,
                    *backends.registry,
                    fake.runLoop,
                    *backends.processes,
                    *backends.authorization,
                    *backends.fileManager,
                    fake.processInfo,
                    fake.userDefaults,
                    fake.clock};
  const std::string unload = std::string("unload ") + kDriverModule + "\n";
  {
    AppController controller(platform);
    ASSERT_TRUE(controller.registerServiceNotification()) << machine_.logs();
    controller.disableMedia(nullptr);
    ASSERT_EQ(application.alerts.size(), 1U) << diagnostics.str() << machine_.logs();
    EXPECT_EQ(application.alerts[0].message, "MSG_RemoveSafely");
    EXPECT_EQ(application.moduleLogAtAlerts[0], unload) << "told before the unload had ended";
    EXPECT_FALSE(attached()) << "the card's disk is still there";
    EXPECT_FALSE(test::HostMachine::mounted(card_.mountPoint));
    EXPECT_EQ(g_NotifyPort, nullptr);

    controller.enableMedia(nullptr);  // no card: unloaded again, then loaded
    const std::string loaded = unload + unload + "load " + kDriverModule + "\n";
    // The load is started, not waited for.
    for (int i = 0; i < 500 && contentsOf(POMREL_STANDIN_MODULE_LOG) != loaded; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(contentsOf(POMREL_STANDIN_MODULE_LOG), loaded);
    EXPECT_TRUE(fs::exists(POMREL_STANDIN_MODULE_LOG ".loaded"));
    EXPECT_EQ(application.alerts.size(), 1U);
  }
  EXPECT_TRUE(processesOf(POMREL_DRIVERCTL_STANDIN).empty())
      << "the helper outlived Pomrel's authorization";
  EXPECT_EQ(diagnostics.str(), "");

  // Run as root by a process of another user than PKEXEC_UID names.
  ::setenv("PKEXEC_UID", "12345", 1);
  EXPECT_EQ(test::runTool({POMREL_DRIVERCTL_STANDIN}).exitStatus, kExitRefused);
  ::unsetenv("PKEXEC_UID");
}

}  // namespace
}  // namespace pomrel::host

// polkit, pkexec and pomrel-driverctl on this machine, as root: the host
// authorization run as a test user whom a polkit rule grants the helper's
// action, and as one whom a rule refuses it; then the disable and enable
// commands through the core on the host backend with a real card (see
// host_fixture.h). The helper is its test build, whose module action is a
// stand-in tool (this kernel loads no modules).
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/linux/authorization.h"
#include "platform/linux/driverctl/driver_module.h"
#include "platform/linux/driverctl_protocol.h"
#include "platform/linux/file_manager.h"
#include "platform/linux/platform.h"
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
constexpr const char* kRuleFile = "/etc/polkit-1/rules.d/10-pomrel-test.rules";
constexpr const char* kGranted = "pomrel-granted";
constexpr const char* kRefused = "pomrel-refused";
constexpr const char* kUnruled = "pomrel-unruled";  // polkit must ask an administrator
constexpr const char* kPlugin = "/plug-in";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";

using sim::test::contentsOf;
using sim::test::lines;

bool busAnswers() {
  return test::runTool({"/usr/bin/dbus-send", std::string("--bus=unix:path=") + kBusSocket,
                        "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetId"})
             .exitStatus == 0;
}

// Whether a process of the program at `path` runs (a zombie's command line
// is empty, so one that has ended does not count).
bool runs(const std::string& path) {
  return test::runTool({"/usr/bin/pgrep", "-f", "^" + path}).exitStatus == 0;
}

// What `body` reports when run as a test user, with no controlling terminal
// (as a program the desktop started).
std::string asUser(const char* user, const std::function<void(std::ostream&)>& body) {
  const posix::UniqueFd report(::memfd_create("report", MFD_CLOEXEC));
  const pid_t child = ::fork();
  if (child == 0) {
    const passwd* account = ::getpwnam(user);
    if (account == nullptr || ::setsid() < 0 || ::initgroups(user, account->pw_gid) != 0 ||
        ::setgid(account->pw_gid) != 0 || ::setuid(account->pw_uid) != 0) {
      ::_exit(1);
    }
    std::ostringstream text;
    body(text);
    ::_exit(::write(report.get(), text.str().data(), text.str().size()) >= 0 ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not become " << user;
  return contentsOf("/proc/self/fd/" + std::to_string(report.get()));
}

// The system bus with polkitd on it (started here if none runs), the test
// build's polkit action, a rule granting kGranted and refusing kRefused, and
// those two users and kUnruled; no polkit agent. Everything made here is
// undone when the test ends.
class PolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (to install a polkit rule and add users)";
    for (const char* tool : {kPkexecPath, kPolkitd, "/usr/bin/dbus-daemon"}) {
      if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing (scripts/deps.sh)";
    }
    ASSERT_EQ(start(), "");
  }

  // "" when ready; otherwise what failed.
  std::string start() {
    std::string action = contentsOf(POMREL_POLICY_TEMPLATE);
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"\"org.pomrel.driverctl\"",
                                              std::string("\"") + kTestAction + "\""},
          {"@POMREL_DRIVERCTL_PATH@", POMREL_DRIVERCTL_STANDIN},
          {"@POMREL_DRIVERCTL_DOES@", kDriverModule}}) {
      const std::size_t at = action.find(from);
      if (at == std::string::npos) return "the polkit action has no " + from;
      action.replace(at, from.size(), to);
    }
    std::ofstream(kActionFile) << action;
    std::ofstream(kRuleFile) << "polkit.addRule(function(action, subject) {\n"
                             << "  if (action.id != \"" << kTestAction << "\") return;\n"
                             << "  if (subject.user == \"" << kGranted
                             << "\") return polkit.Result.YES;\n"
                             << "  if (subject.user == \"" << kRefused
                             << "\") return polkit.Result.NO;\n});\n";
    for (const char* user : {kGranted, kRefused, kUnruled}) {
      if (::getpwnam(user) != nullptr) continue;
      const test::ToolRun added =
          test::runTool({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell",
                         "/usr/sbin/nologin", user});
      if (added.exitStatus != 0) return std::string("useradd ") + user + ": " + added.err;
      addedUsers_.emplace_back(user);
    }
    fs::remove(POMREL_STANDIN_MODULE_LOG);
    if (busAnswers()) {
      // A polkitd already running reads the new rule within about a second.
      std::this_thread::sleep_for(2s);
      return "";
    }
    // A bus that ended without cleaning up leaves its pid file, which would
    // stop a new one from starting.
    fs::remove(kBusPidFile);
    fs::remove(kBusSocket);
    fs::create_directories("/run/dbus");
    bus_.emplace(Strings{"/usr/bin/dbus-daemon", "--system", "--nofork"}, "/dev/null");
    return test::waitUntil(busAnswers, 5s) ? "" : "the system bus did not start";
  }

  ~PolkitTest() override {
    if (bus_) {
      // polkitd, started by this bus, goes with it.
      test::runTool({"/usr/bin/pkill", "-x", "polkitd"});
      test::waitUntil([] { return !runs(kPolkitd); }, 2s);
      bus_.reset();
      fs::remove(kBusPidFile);
      fs::remove(kBusSocket);
    }
    for (const std::string& user : addedUsers_) test::runTool({"/usr/sbin/userdel", user});
    fs::remove(kRuleFile);
    fs::remove(kActionFile);
    fs::remove(POMREL_STANDIN_MODULE_LOG);
  }

 private:
  std::optional<test::Child> bus_;
  Strings addedUsers_;
};

// A line each: the rights' status, the unload request's, whether the unload
// answered ok, whether a helper served the session and whether it outlived
// it, the number of diagnostic lines, and the first of them.
void reportRightsAndOneRequest(std::ostream& report) {
  std::ostringstream diagnostics;
  HostAuthorization authorization(POMREL_DRIVERCTL_STANDIN, kPlugin,
                                  [&](std::string_view text) { diagnostics << text; });
  AuthorizationItem right{kAuthorizationRightExecute, 0, nullptr, 0};
  AuthorizationRights rights{1, &right};
  AuthorizationRef session = nullptr;
  authorization.create(nullptr, nullptr, 0, &session);
  report << authorization.copyRights(
                session, &rights, nullptr,
                kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights)
         << "\n";
  std::string plugin = kPlugin;
  char* const arguments[] = {plugin.data(), nullptr};
  std::unique_ptr<PrivilegedProcess> unload;
  report << authorization.executeWithPrivileges(session, "/sbin/kextunload", 0, arguments, &unload)
         << "\n";
  report << (unload != nullptr && unload->waitUntilExit(10s) && unload->terminationStatus() == 0)
         << "\n";
  const pid_t helper = authorization.helperPid(session);
  authorization.free(session, kAuthorizationFlagDestroyRights);
  report << (helper > 0) << "\n"
         << (helper > 0 && fs::exists("/proc/" + std::to_string(helper))) << "\n";
  const Strings said = lines(diagnostics.str());
  report << said.size() << "\n" << (said.empty() ? "" : said[0]) << "\n";
}

// The fakes' platform with these facilities in place of theirs.
Platform realPlatform(fakes::FakePlatform& fake, Application& application, DeviceRegistry& registry,
                      ProcessRunner& processes, Authorization& authorization,
                      FileManager& fileManager) {
  return {application,   fake.bundle, fake.statusBar,   registry,          fake.runLoop, processes,
          authorization, fileManager, fake.processInfo, fake.userDefaults, fake.clock};
}

// The alerts a Stop shows, one a line: the controller on fakes but for the
// authorization, whose prompt is pkexec's.
void reportStopAlerts(std::ostream& report) {
  fakes::FakePlatform fake;
  fake.fileManager.paths.insert(kSxSPluginPath);
  HostAuthorization authorization(POMREL_DRIVERCTL_STANDIN, kSxSPluginPath,
                                  [](std::string_view) {});
  Platform platform = realPlatform(fake, fake.application, fake.registry, fake.processes,
                                   authorization, fake.fileManager);
  AppController(platform).disableMedia(nullptr);
  for (const fakes::Alert& alert : fake.application.alerts) report << alert.message << "\n";
}

TEST_F(PolkitTest, AGrantedUserGetsOneHelperServingTheTwoRequestsARefusedOneNone) {
  const std::string ok = std::to_string(errAuthorizationSuccess);
  EXPECT_EQ(lines(asUser(kGranted, reportRightsAndOneRequest)),
            (Strings{ok, ok, "1", "1", "0", "0", ""}));
  EXPECT_EQ(contentsOf(POMREL_STANDIN_MODULE_LOG), std::string("unload ") + kDriverModule + "\n");

  // A user whom the policy refuses: that cause, one line saying why, no helper.
  fs::remove(POMREL_STANDIN_MODULE_LOG);
  const Strings refused = lines(asUser(kRefused, reportRightsAndOneRequest));
  ASSERT_EQ(refused.size(), 7U);
  EXPECT_EQ(Strings(refused.begin(), refused.end() - 1),
            (Strings{std::to_string(errAuthorizationRefusedByPolicy),
                     std::to_string(errAuthorizationDenied), "0", "0", "0", "1"}));
  EXPECT_NE(refused[6].find("Not authorized"), std::string::npos) << refused[6];
  EXPECT_FALSE(runs(POMREL_DRIVERCTL_STANDIN));
  EXPECT_FALSE(fs::exists(POMREL_STANDIN_MODULE_LOG)) << "the module tool ran";
  // One whom polkit must ask, with no agent to ask: the Stop says so.
  EXPECT_EQ(asUser(kUnruled, reportStopAlerts), "MSG_AuthFail\n\nMSG_AuthFail_NoAgent\n");

  // Run as root by a process of another user than PKEXEC_UID names.
  ::setenv("PKEXEC_UID", "12345", 1);
  EXPECT_EQ(test::runTool({POMREL_DRIVERCTL_STANDIN}).exitStatus, kExitRefused);
  ::unsetenv("PKEXEC_UID");
}

// Shows each alert after noting what the module tool had done by then.
class TestApplication : public fakes::FakeApplication {
 public:
  void runAlertPanel(const std::string& title, const std::string& message) override {
    moduleLogAtAlerts.push_back(contentsOf(POMREL_STANDIN_MODULE_LOG));
    FakeApplication::runAlertPanel(title, message);
  }
  Strings moduleLogAtAlerts;
};

class HostCommandsTest : public PolkitTest {
 protected:
  void SetUp() override {
    if (const std::string why = test::hostTestsUnavailable(); !why.empty()) GTEST_SKIP() << why;
    PolkitTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(machine_.start(card_), "");
    ASSERT_EQ(machine_.mount(card_), "");
  }

  test::HostMachine machine_;
  test::Card card_;
};

// The host's backends as Pomrel makes them, but for the module: the helper's
// test build serves it, and "loop", which this kernel has built in, stands
// for the card reader's module in the plug-in's test.
TEST_F(HostCommandsTest, DisableEjectsTheCardUnloadsTheModuleAndSaysSoThenEnableLoadsIt) {
  std::ostringstream diagnostics;
  const Diagnostics said = [&](std::string_view text) { diagnostics << text; };
  Backends backends = makeHostBackends(
      {POMREL_BUNDLE_CONTENTS, "org.pomrel.test", kSxSPluginPath, "/Pomrel.app"}, said);
  backends.fileManager = std::make_unique<HostFileManager>(kSxSPluginPath, "loop");
  backends.authorization =
      std::make_unique<HostAuthorization>(POMREL_DRIVERCTL_STANDIN, kSxSPluginPath, said);
  fakes::FakePlatform fake;
  TestApplication application;
  Platform platform = realPlatform(fake, application, *backends.registry, *backends.processes,
                                   *backends.authorization, *backends.fileManager);
  const std::string unload = std::string("unload ") + kDriverModule + "\n";
  const std::string failed = "the stand-in module tool failed";
  {
    AppController controller(platform);
    ASSERT_TRUE(controller.registerMatchingNotification());
    ASSERT_TRUE(controller.registerServiceNotification()) << machine_.logs();
    controller.disableMedia(nullptr);
    ASSERT_EQ(application.alerts.size(), 1U) << diagnostics.str() << machine_.logs();
    EXPECT_EQ(application.alerts[0].message, "MSG_RemoveSafely");
    EXPECT_EQ(application.moduleLogAtAlerts[0], unload) << "told before the unload had ended";
    EXPECT_FALSE(test::HostMachine::attached(card_)) << "the card's disk is still there";
    EXPECT_FALSE(test::HostMachine::mounted(card_.mountPoint));
    EXPECT_EQ(g_NotifyPort, nullptr);

    controller.enableMedia(nullptr);  // no card: unloaded again, then loaded
    const std::string loaded = unload + unload + "load " + kDriverModule + "\n";
    // The load is started, not waited for.
    test::waitUntil([&] { return contentsOf(POMREL_STANDIN_MODULE_LOG) == loaded; }, 5s);
    EXPECT_EQ(contentsOf(POMREL_STANDIN_MODULE_LOG), loaded);
    EXPECT_TRUE(fs::exists(POMREL_STANDIN_MODULE_LOG ".loaded"));
    EXPECT_EQ(application.alerts.size(), 1U);
    const auto delivered = [&](auto done) {
      return test::waitUntil([&] { return fake.runLoop.runUntilIdle(), done(); }, 5s);
    };

    // A Start that fails (its unload too) says why once the load's answer
    // comes in on the run loop.
    std::ofstream(POMREL_STANDIN_MODULE_LOG ".fail").flush();
    controller.enableMedia(nullptr);
    EXPECT_TRUE(delivered([&] { return application.alerts.size() == 2; })) << "no alert";
    fs::remove(POMREL_STANDIN_MODULE_LOG ".fail");
    EXPECT_EQ(application.alerts.back().message, "MSG_LoadFail\n\n" + failed);

    // A card attached now is watched, and its pull runs the disable command.
    test::Card later;
    ASSERT_EQ(machine_.attach(later), "");
    delivered([] { return g_NotifyPort != nullptr; });
    ASSERT_EQ(machine_.pull(later), "");
    EXPECT_TRUE(delivered([&] { return application.alerts.size() == 3; })) << "no disable";
    EXPECT_EQ(application.alerts.back().message, "MSG_RemoveSafely");
    EXPECT_EQ(contentsOf(POMREL_STANDIN_MODULE_LOG), loaded + unload);
  }
  EXPECT_FALSE(runs(POMREL_DRIVERCTL_STANDIN)) << "the helper outlived Pomrel's authorization";
  EXPECT_EQ(lines(diagnostics.str()), Strings(2, "Pomrel: pomrel-driverctl: " + failed));
}

}  // namespace
}  // namespace pomrel::host

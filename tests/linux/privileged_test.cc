// The privileged helper's request loop, the host authorization that talks to
// it (with stand-ins for pkexec and the helper, so that no root is needed),
// the helper's start, and the driver plug-in's existence as a kernel
// module's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/authorization.h"
#include "platform/linux/driverctl/helper_start.h"
#include "platform/linux/driverctl/request_server.h"
#include "platform/linux/file_manager.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::host {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr const char* kPlugin = "/plug-in";
constexpr AuthorizationFlags kInteractive =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights;

TEST(DriverControlTest, ServesTheTwoRequestsRefusesOthersAndEndsOnBadIdleOrUnreadInput) {
  const std::string unknown = "error unknown request: only \"load\" and \"unload\" are served";
  const std::string tooLong(kMaxRequestLength + 1, 'a');
  const std::string unread(4000, '\n');  // a caller that never reads its answers
  const struct {
    std::string input;
    bool inputEnds;
    Strings answers;  // after "ready"
    Strings actions;
    int exit;
  } cases[] = {
      {"load\nunload\n", true, {"ok", "error busy?"}, {"load", "unload"}, kExitInputClosed},
      {"load usb_storage\n/sbin/kextload\n\nunload\n",
       true,
       {unknown, unknown, unknown, "error busy?"},
       {"unload"},
       kExitInputClosed},
      {"load\nlo\tad\nload\n", true, {"ok", "error malformed request"}, {"load"}, kExitMalformed},
      {tooLong, false, {"error malformed request"}, {}, kExitMalformed},
      {"unlo", true, {}, {}, kExitMalformed},
      {"load\n", false, {"ok"}, {"load"}, kExitIdle},
      {"lo", false, {}, {}, kExitIdle},
      {unread, false, {}, {}, kExitBroken},
  };
  for (const auto& c : cases) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const int smallBuffer = 4096;
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &smallBuffer, sizeof smallBuffer);
    ASSERT_EQ(::write(ends[0], c.input.data(), c.input.size()), std::ssize(c.input));
    if (c.inputEnds) ::shutdown(ends[0], SHUT_WR);
    Strings actions;
    const int exit = serveRequests(
        ends[1], ends[1],
        [&](Request request) {
          actions.push_back(request == Request::kLoad ? "load" : "unload");
          return request == Request::kLoad ? "" : "busy\x7f";
        },
        50ms, 50ms);
    ::close(ends[1]);
    std::string output(4096, '\0');
    output.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::read(ends[0], output.data(), output.size()))));
    ::close(ends[0]);
    Strings expected = {"ready"};
    expected.insert(expected.end(), c.answers.begin(), c.answers.end());
    if (c.exit != kExitBroken) {  // what the unread caller got is cut anywhere
      EXPECT_EQ(sim::test::lines(output), expected) << c.input;
    }
    EXPECT_EQ(actions, c.actions) << c.input;
    EXPECT_EQ(exit, c.exit) << c.input;
  }
}

TEST(DriverControlTest, ServesOnlyRootStartedByPkexecForItsCallerAndKeepsNoOtherDescriptor) {
  const struct {
    uid_t real, effective;
    const char* pkexecUid;
    std::optional<uid_t> parent;
    bool serves;
  } cases[] = {
      {0, 0, "1000", 1000, true},     {0, 0, nullptr, 0, false},
      {0, 0, "1000", 1001, false},    {0, 0, "1000", std::nullopt, false},
      {0, 0, "1000 ", 1000, false},   {1000, 0, "1000", 1000, false},
      {0, 1000, "1000", 1000, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(servesCaller(c.real, c.effective, c.pkexecUid, c.parent), c.serves)
        << c.real << " " << c.effective << " " << (c.pkexecUid ? c.pkexecUid : "(none)");
  }
  // A kernel without close_range: closed one by one.
  for (const int fd : {900, 901}) ASSERT_EQ(::dup2(STDERR_FILENO, fd), fd);
  EXPECT_TRUE(
      closeDescriptorsFrom(900, [](unsigned, unsigned, int) { return errno = ENOSYS, -1; }));
  EXPECT_EQ(::fcntl(900, F_GETFD) + ::fcntl(901, F_GETFD), -2);
  EXPECT_GE(::fcntl(STDERR_FILENO, F_GETFD), 0);
}

// pkexec and the helper as scripts: the fake pkexec runs its argument as the
// real one does once authorized; the fake helper logs each request.
class HostAuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.root().empty());
    script("helper", "echo ready\nwhile read -r request; do echo \"$request\" >> " + log_ +
                         "\ncase $request in load) echo ok;; *) echo 'error cannot unload';; esac\n"
                         "done\n");
    script("grants", "[ \"$1\" = --disable-internal-agent ] && shift\nexec \"$1\"\n");
    script("dismisses", "exit 126\n");
    // pkexec 122's refusals as it wrote them here (in part; status 127); with
    // no agent it names the missing agent only when its text prompt is off.
    for (const auto& [name, said] : std::map<std::string, std::string>{
             {"refuses", "Error executing command as another user: Not authorized\n\nThis..."},
             {"no-agent",
              "Error executing command as another user: No authentication agent found."},
             {"no-agent-text", "Error creating textual authentication agent: Error opening ..."},
             {"no-bus", "Error getting authority: Error initializing authority: Could not connect"},
             {"no-polkitd",
              "\n** (process:1): WARNING **: Error enumerating actions: ...\n"
              "Error checking for authorization org.freedesktop.policykit.exec: ..."},
             {"no-helper", "Error accessing /usr/libexec/pomrel/pomrel-driverctl: No such file"}}) {
      const char* agent = "[ \"$1\" = --disable-internal-agent ] || exec \"$0-text\"\n";
      script(name, (name == "no-agent" ? agent : "") + ("cat >&2 <<'EOF'\n" + said) +
                       "\nEOF\nexit 127\n");
    }
  }
  void script(const std::string& name, const std::string& body) {
    const std::string path = temp_.root() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
  }
  // A session of an authorization that starts the fake `pkexec`.
  void open(const std::string& pkexec) {
    authorization_.emplace(
        temp_.root() + "/helper", kPlugin, [this](std::string_view text) { diagnostics_ << text; },
        temp_.root() + "/" + pkexec);
    ASSERT_EQ(authorization_->create(nullptr, nullptr, 0, &session_), errAuthorizationSuccess);
  }
  OSStatus rights(AuthorizationFlags flags) {
    return authorization_->copyRights(session_, &rights_, nullptr, flags);
  }
  OSStatus end() { return authorization_->free(session_, kAuthorizationFlagDestroyRights); }
  std::string requests() { return sim::test::contentsOf(log_); }
  // Starts `tool` (its handle in process_) and, unless `wait` is false,
  // waits for its end.
  OSStatus run(const char* tool, const char* argument = kPlugin, bool wait = true) {
    std::string copy = argument;
    char* const arguments[] = {copy.data(), nullptr};
    const OSStatus status =
        authorization_->executeWithPrivileges(session_, tool, 0, arguments, &process_);
    if (status == errAuthorizationSuccess && wait) {
      EXPECT_TRUE(process_->waitUntilExit(5s)) << tool;
      ended_ = process_->terminationStatus();
    }
    return status;
  }

  sim::test::TempRoot temp_;
  std::string log_ = temp_.root() + "/requests";
  std::ostringstream diagnostics_;
  std::optional<HostAuthorization> authorization_;
  AuthorizationRef session_ = nullptr;
  std::unique_ptr<PrivilegedProcess> process_;
  int ended_ = -2;  // the last request's termination status
  AuthorizationItem right_{kAuthorizationRightExecute, 0, nullptr, 0};
  AuthorizationRights rights_{1, &right_};
};

TEST_F(HostAuthorizationTest, PkexecsOutcomesBecomeStatusesWithOneLineForEachRefusal) {
  const struct {
    const char* pkexec;
    OSStatus status;
    const char* said;  // the one line on standard error, in part; "" for none
  } cases[] = {
      {"absent", errAuthorizationNoPrompter, "is missing"},
      {"dismisses", errAuthorizationCanceled, ""},
      {"refuses", errAuthorizationRefusedByPolicy, "Not authorized"},
      {"no-agent", errAuthorizationNoAgent, "No authentication agent"},
      {"no-bus", errAuthorizationServiceUnavailable, "Error getting authority"},
      {"no-polkitd", errAuthorizationServiceUnavailable, "Error checking for authorization"},
      {"no-helper", errAuthorizationDenied, "Error accessing"},
      {"grants", errAuthorizationSuccess, ""},
  };
  for (const auto& c : cases) {
    diagnostics_.str("");
    open(c.pkexec);
    EXPECT_EQ(rights(kInteractive), c.status) << c.pkexec;
    const std::string said = diagnostics_.str();
    EXPECT_EQ(sim::test::lines(said).size(), *c.said == '\0' ? 0U : 1U) << c.pkexec << ": " << said;
    EXPECT_NE(said.find(c.said), std::string::npos) << c.pkexec << ": " << said;
    EXPECT_EQ(authorization_->helperPid(session_) > 0, c.status == errAuthorizationSuccess);
    EXPECT_EQ(end(), errAuthorizationSuccess);
  }
}

TEST_F(HostAuthorizationTest, OneHelperServesTheSessionsRequestsAndEndsWithIt) {
  open("grants");
  EXPECT_EQ(run("/sbin/kextload"), errAuthorizationDenied);
  EXPECT_EQ(rights(kAuthorizationFlagExtendRights), errAuthorizationInteractionNotAllowed);
  ASSERT_EQ(rights(kInteractive), errAuthorizationSuccess);
  const pid_t helper = authorization_->helperPid(session_);
  EXPECT_EQ(rights(kAuthorizationFlagExtendRights), errAuthorizationSuccess);

  // Only the two tools on the plug-in are served; nothing else reaches it.
  EXPECT_EQ(run("/sbin/kextload"), errAuthorizationSuccess);
  EXPECT_EQ(ended_, 0);
  EXPECT_EQ(run("/bin/sh", "-c"), errAuthorizationToolExecuteFailure);
  EXPECT_EQ(run("/sbin/kextunload", "/other"), errAuthorizationToolExecuteFailure);
  EXPECT_EQ(run("/sbin/kextunload"), errAuthorizationSuccess);
  EXPECT_EQ(ended_, 1) << "an error answer ended as a success";
  EXPECT_EQ(process_->failureReason(), "cannot unload");
  EXPECT_EQ(sim::test::lines(diagnostics_.str()),
            Strings{"Pomrel: pomrel-driverctl: cannot unload"});
  EXPECT_EQ(authorization_->helperPid(session_), helper) << "one helper, one prompt";

  // A load not waited for: its descriptor tells that its answer waits, and
  // an unload's wait takes that answer in on the way.
  ASSERT_EQ(run("/sbin/kextload", kPlugin, false), errAuthorizationSuccess);
  const std::unique_ptr<PrivilegedProcess> load(process_.release());
  pollfd answered{load->exitDescriptor(), POLLIN, 0};
  EXPECT_EQ(::poll(&answered, 1, 5000), 1);
  EXPECT_EQ(run("/sbin/kextunload"), errAuthorizationSuccess);
  EXPECT_TRUE(load->waitUntilExit(0ms) && load->terminationStatus() == 0);

  // A helper that has ended (as it does when idle) is started again.
  ASSERT_EQ(::kill(helper, SIGTERM), 0);
  siginfo_t ended{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(helper), &ended, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(run("/sbin/kextload"), errAuthorizationSuccess);
  EXPECT_EQ(requests(), "load\nunload\nload\nunload\nload\n");
  const pid_t second = authorization_->helperPid(session_);
  EXPECT_NE(second, helper);

  // Its watch open, the session's end still ends the helper, and tells it.
  EXPECT_EQ(end(), errAuthorizationSuccess);
  EXPECT_NE(::kill(second, 0), 0) << "the helper outlived its session";
  answered.fd = process_->exitDescriptor();
  EXPECT_EQ(::poll(&answered, 1, 0), 1) << "a watch not told of the end";
}

TEST(HostFileManagerTest, ThePlugInIsAModuleTheKernelKnows) {
  sim::test::TempRoot temp;
  const ModuleFolders folders{temp.root() + "/module", temp.root()};
  std::filesystem::create_directories(folders.loaded + "/usb_storage");
  std::ofstream(temp.root() + "/modules.dep")
      << "kernel/drivers/usb/storage/uas.ko.xz: kernel/drivers/usb/storage/usb-storage.ko.xz\n";
  std::ofstream(temp.root() + "/modules.builtin") << "kernel/drivers/block/loop.ko\n";
  for (const auto& [module, known] : {std::pair{"usb-storage", true},
                                      {"uas", true},
                                      {"loop", true},
                                      {"sd_mod", false},
                                      {"loop.ko", false}}) {
    EXPECT_EQ(HostFileManager(kPlugin, module, folders).fileExistsAtPath(kPlugin), known) << module;
  }
}

}  // namespace
}  // namespace pomrel::host

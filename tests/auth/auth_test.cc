// The process runner, authorization with its privileged runner, and the
// administrator accounts, with real child processes on a temporary machine.
#include <crypt.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/posix/process_runner.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_process_runner.h"
#include "simulator/admin_accounts.h"
#include "simulator/privilege.h"
#include "tests/fakes/fakes.h"
#include "tests/sim/sim_test_support.h"

// The settings of the crypt_r calls this program made; each call passes
// through here on its way to libcrypt, so a test can see how much hashing a
// check did.
std::vector<std::string>
    g_cryptSettings;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

extern "C" char* crypt_r(const char* phrase, const char* setting,
                         struct crypt_data* __restrict data) noexcept {
  using Real = char* (*)(const char*, const char*, struct crypt_data*);
  static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "crypt_r"));
  static std::mutex recording;  // the accounts' concurrent writers hash at once
  {
    const std::lock_guard<std::mutex> hold(recording);
    g_cryptSettings.emplace_back(setting != nullptr ? setting : "");
  }
  return real(phrase, setting, data);
}

namespace pomrel::sim {
namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

constexpr AuthorizationFlags kExtend = kAuthorizationFlagExtendRights;
constexpr AuthorizationFlags kInteractive = kAuthorizationFlagInteractionAllowed | kExtend;

// The NUL-terminated entries of `bytes`.
Args entries(const std::string& bytes) {
  Args out;
  for (std::size_t at = 0, end = 0; (end = bytes.find('\0', at)) != std::string::npos;
       at = end + 1) {
    out.push_back(bytes.substr(at, end - at));
  }
  return out;
}

// True when a child of this process has exited and not been reaped; with
// `wait`, first blocks until one has exited.
bool unreapedChild(bool wait = false) {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOWAIT | (wait ? 0 : WNOHANG)) == 0 && info.si_pid != 0;
}

// Answers from a script; past its end it cancels.
class ScriptedPrompt : public CredentialsPrompt {
 public:
  std::optional<Credentials> ask(const std::string& defaultName, int attempt) override {
    asked.emplace_back(defaultName, attempt);
    if (answers.empty()) return std::nullopt;
    std::optional<Credentials> answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::deque<std::optional<Credentials>> answers;
  std::vector<std::pair<std::string, int>> asked;
};

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root + "/bin");
    for (const char* use : {"echo-args", "spew", "record"}) {
      std::filesystem::create_symlink(POMREL_AUTH_TEST_TOOL, root + "/bin/" + use);
    }
    std::filesystem::create_symlink("/bin/sleep", root + "/bin/sleep");
    ASSERT_TRUE(createPrivilegeToken(root));
    ASSERT_TRUE(setAdminPassword(root, "boss", "right horse"));
  }
  void TearDown() override {
    EXPECT_EQ(test::openDescriptors(), descriptors_) << "a descriptor left open";
  }

  AuthorizationRef session() {
    AuthorizationRef ref = nullptr;
    EXPECT_EQ(auth.create(nullptr, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    return ref;
  }
  OSStatus copy(AuthorizationRef ref, AuthorizationFlags flags,
                const AuthorizationEnvironment* environment = nullptr) {
    return auth.copyRights(ref, &rights, environment, flags);
  }
  OSStatus execute(AuthorizationRef ref, const char* tool, std::vector<const char*> arguments,
                   std::unique_ptr<PrivilegedProcess>* process) {
    arguments.push_back(nullptr);
    return auth.executeWithPrivileges(ref, tool, 0, const_cast<char* const*>(arguments.data()),
                                      process);
  }

  const long descriptors_ = test::openDescriptors();
  test::TempRoot temp_;
  const std::string& root = temp_.root();
  SimProcessRunner runner{temp_.paths()};
  ScriptedPrompt prompt;
  fakes::FakeRunLoop loop;
  SimAuthorization auth{temp_.paths(), prompt, &loop};
  AuthorizationItem right{kAuthorizationRightExecute, 0, nullptr, 0};
  AuthorizationRights rights{1, &right};
};

TEST_F(AuthTest, RunnerPassesArgumentsKeepsTheStartOfStandardErrorAndReportsToolsThatFail) {
  // Neither a descriptor without close-on-exec nor a blocked signal of the
  // application reaches the tool.
  const int stray = ::open("/dev/null", O_RDONLY);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  const ProcessResult echoed =
      runner.run("/bin/echo-args", {"two words", "", "$HOME", "a;b", "*", "`id`", "\n"}, 30s);
  pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
  ::close(stray);
  EXPECT_TRUE(echoed.launched && !echoed.timedOut && echoed.exitStatus == 7);
  EXPECT_EQ(entries(echoed.standardError), (Args{"/bin/echo-args", "two words", "", "$HOME", "a;b",
                                                 "*", "`id`", "\n", "inherited:"}));

  // Far more than a pipe holds, and than is kept: the tool still completes,
  // and what it writes past the limit is not seen.
  const ProcessResult spewed =
      runner.run("/bin/spew", {std::to_string(1 << 20), "Volume failed to eject"}, 60s);
  EXPECT_EQ(spewed.exitStatus, 3);
  ASSERT_EQ(spewed.standardError.size(), kStandardErrorLimit);
  for (std::size_t i = 0; i < kStandardErrorLimit; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(spewed.standardError[i]), i % 251) << "byte " << i;
  }

  // Tools that cannot start or hang, reported as such and left behind never.
  std::ofstream(root + "/bin/plain") << "not a program\n";
  // /usr/bin/env exists on this host, not under the machine root.
  for (const char* tool : {"/bin/no-such-tool", "/usr/bin/env", "/bin/plain"}) {
    const ProcessResult result = runner.run(tool, {}, 30s);
    EXPECT_TRUE(!result.launched && result.exitStatus == -1) << tool;
  }
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult hung = runner.run("/bin/sleep", {"30"}, 200ms);
  EXPECT_TRUE(hung.launched && hung.timedOut && hung.exitStatus == -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "killed, not waited for";
  errno = 0;
  EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) << "and reaped";
}

TEST_F(AuthTest, ThePromptGrantsTheRightOnceAndToItsSessionOnly) {
  AuthorizationRef ref = session();
  EXPECT_EQ(copy(ref, kExtend), errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(copy(ref, 0), errAuthorizationDenied);
  prompt.answers = {std::nullopt};
  EXPECT_EQ(copy(ref, kInteractive), errAuthorizationCanceled);
  std::filesystem::rename(adminAccountsPath(root), root + "/admins");  // nobody could answer
  EXPECT_EQ(copy(ref, kInteractive), errAuthorizationRefusedByPolicy);
  std::filesystem::rename(root + "/admins", adminAccountsPath(root));
  // Three wrong tries (password, name, case) deny; the right answer after
  // them is not asked for. A retry offers the name typed last.
  prompt.answers = {Credentials{"boss", "wrong"}, Credentials{"intruder", "right horse"},
                    Credentials{"boss", "Right horse"}, Credentials{"boss", "right horse"}};
  EXPECT_EQ(copy(ref, kInteractive), errAuthorizationDenied);
  EXPECT_EQ(execute(ref, "/bin/record", {}, nullptr), errAuthorizationDenied);
  prompt.answers.push_front(Credentials{"boss", ""});
  EXPECT_EQ(copy(ref, kInteractive), errAuthorizationSuccess);

  AuthorizationItem noValues[] = {{"username", 0, nullptr, 0}, {"password", 0, nullptr, 0}};
  AuthorizationEnvironment environment{2, noValues};
  EXPECT_EQ(copy(ref, kExtend, &environment), errAuthorizationSuccess);
  EXPECT_EQ(copy(ref, kInteractive), errAuthorizationSuccess);
  EXPECT_EQ(copy(session(), kExtend, &environment), errAuthorizationInteractionNotAllowed);
  const std::string login = std::filesystem::path(temp_.paths().userHome()).filename();
  const std::vector<std::pair<std::string, int>> asked{{login, 1},      {login, 1}, {"boss", 2},
                                                       {"intruder", 3}, {login, 1}, {"boss", 2}};
  EXPECT_EQ(prompt.asked, asked);

  EXPECT_EQ(auth.free(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
  EXPECT_EQ(execute(ref, "/bin/record", {}, nullptr), errAuthorizationInvalidRef);
  EXPECT_FALSE(std::filesystem::exists(root + "/record.argv"));
}

TEST_F(AuthTest, PrivilegedToolGetsExactlyItsArgumentsAndEnvironmentAndIsAlwaysReaped) {
  AuthorizationRef admin = session();
  prompt.answers.push_back(Credentials{"boss", "right horse"});
  ASSERT_EQ(copy(admin, kInteractive), errAuthorizationSuccess);
  std::unique_ptr<PrivilegedProcess> process;
  EXPECT_EQ(execute(admin, "/bin/no-such-tool", {}, &process), errAuthorizationToolExecuteFailure);
  ASSERT_EQ(execute(admin, "/bin/record", {"--flag", "two words", "", "$HOME;ls *"}, &process),
            errAuthorizationSuccess);
  ASSERT_TRUE(process->waitUntilExit(60s));
  EXPECT_EQ(entries(test::contentsOf(root + "/record.argv")),
            (Args{"/bin/record", "--flag", "two words", "", "$HOME;ls *"}));
  Args environment = entries(test::contentsOf(root + "/record.env"));
  std::sort(environment.begin(), environment.end());
  EXPECT_EQ(environment, (Args{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "POMREL_MACHINE=" + root,
                               std::string(kPrivilegeTokenVariable) + "=" +
                                   readPrivilegeToken(root).value_or("missing")}));

  EXPECT_EQ(process->terminationStatus(), 0);
  ASSERT_EQ(execute(admin, "/bin/spew", {"0", "kextload: no driver\nmore"}, &process),
            errAuthorizationSuccess);
  ASSERT_TRUE(process->waitUntilExit(60s));
  EXPECT_EQ(process->terminationStatus(), 3);
  EXPECT_EQ(process->failureReason(), "kextload: no driver");

  // The exit descriptor is readable once the tool has ended.
  ASSERT_EQ(execute(admin, "/bin/sleep", {"1"}, &process), errAuthorizationSuccess);
  pollfd ended{process->exitDescriptor(), POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 0), 0);
  EXPECT_FALSE(process->waitUntilExit(10ms));
  EXPECT_EQ(process->terminationStatus(), -1);
  EXPECT_TRUE(process->waitUntilExit(60s));
  EXPECT_EQ(::poll(&ended, 1, 0), 1);
  EXPECT_FALSE(unreapedChild());
  EXPECT_TRUE(loop.installed.empty()) << "still watched once reaped";
  // Never asked for a handle: reaped by the run loop once it has ended.
  ASSERT_EQ(execute(admin, "/bin/record", {}, nullptr), errAuthorizationSuccess);
  ASSERT_TRUE(unreapedChild(true));
  loop.runUntilIdle();
  EXPECT_FALSE(unreapedChild());
  EXPECT_TRUE(loop.installed.empty());
}

// The hashing method and cost of a yescrypt setting or hash: "$y$<cost>$".
std::string methodOf(const std::string& setting) {
  return setting.substr(0, setting.find('$', 3) + 1);
}

TEST_F(AuthTest, AdminPasswordsAreSaltedHashesInAPrivateFile) {
  ASSERT_TRUE(setAdminPassword(root, "deputy", "right horse"));
  EXPECT_EQ(std::filesystem::status(adminAccountsPath(root)).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string file = test::contentsOf(adminAccountsPath(root));
  EXPECT_EQ(file.find("horse"), std::string::npos);
  Args hashes;
  for (const std::string& line : test::lines(file))
    hashes.push_back(line.substr(line.find(':') + 1));
  ASSERT_EQ(hashes.size(), 2u);
  EXPECT_NE(hashes[0], hashes[1]) << "the same password hashes differently";

  EXPECT_TRUE(hasAdminAccount(root, "deputy") && !hasAdminAccount(root, "nobody"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", std::string("right horse\0x", 13)));
  ASSERT_TRUE(setAdminPassword(root, "boss", "new horse"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "right horse"));
  EXPECT_TRUE(checkAdminPassword(root, "deputy", "right horse"));
  for (const char* name : {"", "a:b", "a\nb"}) EXPECT_FALSE(setAdminPassword(root, name, "pw"));
  EXPECT_FALSE(setAdminPassword(root, "boss", ""));
  EXPECT_FALSE(setAdminPassword(root, "boss", std::string("pw\0pw", 5)));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "new horse"));

  // A name without an account costs one hash of the same method and cost.
  for (const char* name : {"boss", "stranger"}) {
    g_cryptSettings.clear();
    EXPECT_FALSE(checkAdminPassword(root, name, "wrong horse"));
    ASSERT_EQ(g_cryptSettings.size(), 1u) << name;
    EXPECT_EQ(methodOf(g_cryptSettings[0]), methodOf(hashes[0])) << name;
  }

  {  // Writers at once keep each other's accounts.
    std::jthread writers[8];
    for (int i = 0; i < 8; ++i)
      writers[i] =
          std::jthread([&, i] { setAdminPassword(root, "user" + std::to_string(i), "pw"); });
  }
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(hasAdminAccount(root, "user" + std::to_string(i))) << i;
  EXPECT_TRUE(hasAdminAccount(root, "boss") && hasAdminAccount(root, "deputy"));
}

// A signal that ends the command at its password prompt leaves the terminal
// as it found it, and still ends the command.
TEST_F(AuthTest, AdminCommandPutsTheTerminalBackWhenASignalEndsItAtThePrompt) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    std::vector<std::string> args{POMREL_SXS_CARD, "--machine", root, "admin", "boss"};
    std::vector<char*> argv{args[0].data(), args[1].data(), args[2].data(),
                            args[3].data(), args[4].data(), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix::spawnChild(args[0], argv, environ, {terminal, terminal, terminal}, &child), 0);
    termios settings{};
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO) != 0 &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(settings.c_lflag & ECHO, 0u) << "echo never went off";
    ::kill(child, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    ASSERT_EQ(::tcgetattr(terminal, &settings), 0);
    EXPECT_NE(settings.c_lflag & ECHO, 0u) << "echo left off";
    ::close(terminal);
    ::close(master);
  }
}

}  // namespace
}  // namespace pomrel::sim

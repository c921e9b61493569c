#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>

#include "platform/sim/sim_authorization.h"
#include "simulator/admin_accounts.h"
#include "simulator/privilege.h"
#include "tests/auth/auth_test_support.h"

namespace pomrel::sim {
namespace {

using namespace std::chrono_literals;

constexpr AuthorizationFlags kExtend = kAuthorizationFlagExtendRights;
constexpr AuthorizationFlags kInteractive = kAuthorizationFlagInteractionAllowed | kExtend;

// Answers from a script; past its end it cancels.
class ScriptedPrompt : public CredentialsPrompt {
 public:
  std::optional<Credentials> ask(const std::string& defaultName, int attempt) override {
    lastDefaultName = defaultName;
    attempts.push_back(attempt);
    if (answers.empty()) return std::nullopt;
    std::optional<Credentials> answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::deque<std::optional<Credentials>> answers;
  std::string lastDefaultName;
  std::vector<int> attempts;
};

class AuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(createPrivilegeToken(machine.root()));
    ASSERT_TRUE(setAdminPassword(machine.root(), "boss", "right horse"));
  }

  AuthorizationRef session(bool admin) {
    AuthorizationRef ref = nullptr;
    EXPECT_EQ(auth.create(nullptr, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    if (admin) {
      prompt.answers.push_back(Credentials{"boss", "right horse"});
      EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
    }
    return ref;
  }

  OSStatus execute(AuthorizationRef ref, const char* tool, std::vector<const char*> arguments,
                   std::unique_ptr<PrivilegedProcess>* process) {
    arguments.push_back(nullptr);
    return auth.executeWithPrivileges(ref, tool, 0, const_cast<char* const*>(arguments.data()),
                                      process);
  }

  authtest::TempMachine machine;
  ScriptedPrompt prompt;
  SimAuthorization auth{MachinePaths(machine.root()), prompt};
  AuthorizationItem right{kAuthorizationRightExecute, 0, nullptr, 0};
  AuthorizationRights rights{1, &right};
};

TEST_F(AuthorizationTest, OnePromptGrantsTheRightForTheSessionsLife) {
  AuthorizationRef ref = session(true);
  ASSERT_EQ(prompt.attempts, std::vector<int>{1});
  const std::string home = MachinePaths(machine.root()).userHome();
  EXPECT_EQ(prompt.lastDefaultName, home.substr(home.rfind('/') + 1));

  // Later copies find the right held, with or without interaction.
  std::vector<AuthorizationItem> noValues{{"username", 0, nullptr, 0}, {"password", 0, nullptr, 0}};
  AuthorizationEnvironment environment{2, noValues.data()};
  EXPECT_EQ(auth.copyRights(ref, &rights, &environment, kExtend), errAuthorizationSuccess);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
  EXPECT_EQ(prompt.attempts.size(), 1u);
  // Another session does not share it.
  EXPECT_EQ(auth.copyRights(session(false), &rights, &environment, kExtend),
            errAuthorizationInteractionNotAllowed);

  EXPECT_EQ(auth.free(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
  EXPECT_EQ(execute(ref, "/bin/record", {}, nullptr), errAuthorizationInvalidRef);
  EXPECT_EQ(auth.free(ref, 0), errAuthorizationInvalidRef);
}

TEST_F(AuthorizationTest, RightNotHeldIsRefusedWithoutAPrompt) {
  AuthorizationRef ref = session(false);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kExtend), errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, 0), errAuthorizationDenied);
  AuthorizationItem unknown{"system.something.else", 0, nullptr, 0};
  AuthorizationRights unknownRights{1, &unknown};
  EXPECT_EQ(auth.copyRights(ref, &unknownRights, nullptr, kInteractive), errAuthorizationDenied);
  EXPECT_TRUE(prompt.attempts.empty());

  // Creating with rights copies them with the same flags.
  AuthorizationRef made = ref;
  EXPECT_EQ(auth.create(&rights, nullptr, kExtend, &made), errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(made, nullptr);
  prompt.answers.push_back(Credentials{"boss", "right horse"});
  EXPECT_EQ(auth.create(&rights, nullptr, kInteractive, &made), errAuthorizationSuccess);
  EXPECT_EQ(auth.copyRights(made, &rights, nullptr, kExtend), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, CancelAndWrongCredentials) {
  AuthorizationRef ref = session(false);
  prompt.answers.push_back(std::nullopt);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationCanceled);
  EXPECT_EQ(prompt.attempts, std::vector<int>{1});

  // Three wrong tries (password, name, case); the right answer after them is
  // never asked for.
  prompt.attempts.clear();
  prompt.answers = {Credentials{"boss", "wrong"}, Credentials{"intruder", "right horse"},
                    Credentials{"boss", "Right horse"}, Credentials{"boss", "right horse"}};
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationDenied);
  EXPECT_EQ(prompt.attempts, (std::vector<int>{1, 2, 3}));
  // A retry offers the name typed last, not the login name again.
  EXPECT_EQ(prompt.lastDefaultName, "intruder");
  EXPECT_EQ(execute(ref, "/bin/record", {}, nullptr), errAuthorizationDenied);

  // One wrong try, then the right one.
  prompt.attempts.clear();
  prompt.answers.push_front(Credentials{"boss", ""});
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
  EXPECT_EQ(prompt.attempts, (std::vector<int>{1, 2}));
  EXPECT_FALSE(std::filesystem::exists(machine.root() + "/record.argv"));
}

TEST_F(AuthorizationTest, PrivilegedToolGetsExactlyItsArgumentsAndTheFixedEnvironment) {
  AuthorizationRef admin = session(true);
  std::unique_ptr<PrivilegedProcess> process;
  EXPECT_EQ(execute(admin, "/bin/no-such-tool", {}, &process), errAuthorizationToolExecuteFailure);

  setenv("LD_PRELOAD", "/nonexistent/pomrel-test-preload.so", 1);
  const OSStatus status =
      execute(admin, "/bin/record", {"--flag", "two words", "", "$HOME;ls *"}, &process);
  unsetenv("LD_PRELOAD");
  ASSERT_EQ(status, errAuthorizationSuccess);
  ASSERT_TRUE(process->waitUntilExit(60s));

  const std::string root = machine.root();
  EXPECT_EQ(authtest::splitEntries(authtest::readFile(root + "/record.argv")),
            (std::vector<std::string>{"/bin/record", "--flag", "two words", "", "$HOME;ls *"}));
  std::vector<std::string> environment =
      authtest::splitEntries(authtest::readFile(root + "/record.env"));
  std::sort(environment.begin(), environment.end());
  EXPECT_EQ(environment, (std::vector<std::string>{
                             "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "POMREL_MACHINE=" + root,
                             std::string(kPrivilegeTokenVariable) + "=" +
                                 readPrivilegeToken(root).value_or("missing")}));
}

TEST_F(AuthorizationTest, WaitUntilExitKeepsToItsBound) {
  std::unique_ptr<PrivilegedProcess> process;
  ASSERT_EQ(execute(session(true), "/bin/sleep", {"1"}, &process), errAuthorizationSuccess);
  EXPECT_FALSE(process->waitUntilExit(10ms));
  EXPECT_TRUE(process->waitUntilExit(60s));
  EXPECT_TRUE(process->waitUntilExit(0ms));
  EXPECT_FALSE(authtest::hasUnreapedChild());
}

TEST_F(AuthorizationTest, ToolsWithoutAHandleAreReaped) {
  // Never asked for a handle: reaped by the next call.
  AuthorizationRef admin = session(true);
  ASSERT_EQ(execute(admin, "/bin/record", {}, nullptr), errAuthorizationSuccess);
  authtest::waitForAnExitedChild();
  ASSERT_TRUE(authtest::hasUnreapedChild());
  auth.copyRights(admin, &rights, nullptr, kExtend);
  EXPECT_FALSE(authtest::hasUnreapedChild());

  // Handle dropped before the tool ended: reaped by the destructor.
  {
    SimAuthorization other(MachinePaths(machine.root()), prompt);
    prompt.answers.push_back(Credentials{"boss", "right horse"});
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(other.create(&rights, nullptr, kInteractive, &ref), errAuthorizationSuccess);
    std::unique_ptr<PrivilegedProcess> process;
    char* const noArguments[] = {nullptr};
    ASSERT_EQ(other.executeWithPrivileges(ref, "/bin/record", 0, noArguments, &process), 0);
    process.reset();
    authtest::waitForAnExitedChild();
    ASSERT_TRUE(authtest::hasUnreapedChild());
  }
  EXPECT_FALSE(authtest::hasUnreapedChild());
}

}  // namespace
}  // namespace pomrel::sim

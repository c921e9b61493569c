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
using authtest::TempMachine;

constexpr AuthorizationFlags kInteractive =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights;

// Answers from a script; a call past its end counts as a cancel.
class ScriptedPrompt : public CredentialsPrompt {
 public:
  std::optional<Credentials> ask(const std::string& defaultName, int attempt) override {
    defaultNames.push_back(defaultName);
    attempts.push_back(attempt);
    if (answers.empty()) return std::nullopt;
    std::optional<Credentials> answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::deque<std::optional<Credentials>> answers;
  std::vector<std::string> defaultNames;
  std::vector<int> attempts;
};

class AuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(createPrivilegeToken(machine.root()));
    ASSERT_TRUE(setAdminPassword(machine.root(), "boss", "right horse"));
  }

  AuthorizationRef session() {
    AuthorizationRef ref = nullptr;
    EXPECT_EQ(auth.create(nullptr, nullptr, kAuthorizationFlagDefaults, &ref),
              errAuthorizationSuccess);
    return ref;
  }

  AuthorizationRef adminSession() {
    AuthorizationRef ref = session();
    prompt.answers.push_back(Credentials{"boss", "right horse"});
    EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
    return ref;
  }

  OSStatus execute(AuthorizationRef ref, const char* tool, std::vector<const char*> arguments,
                   std::unique_ptr<PrivilegedProcess>* process) {
    std::vector<char*> vector;
    for (const char* argument : arguments) vector.push_back(const_cast<char*>(argument));
    vector.push_back(nullptr);
    return auth.executeWithPrivileges(ref, tool, kAuthorizationFlagDefaults, vector.data(),
                                      process);
  }

  std::string loginName() const {
    const std::string home = MachinePaths(machine.root()).userHome();
    return home.substr(home.rfind('/') + 1);
  }

  TempMachine machine;
  ScriptedPrompt prompt;
  SimAuthorization auth{MachinePaths(machine.root()), prompt};
  AuthorizationItem right{kAuthorizationRightExecute, 0, nullptr, 0};
  AuthorizationRights rights{1, &right};
  std::vector<AuthorizationItem> emptyItems{{"username", 0, nullptr, 0},
                                            {"password", 0, nullptr, 0}};
  AuthorizationEnvironment emptyEnvironment{2, emptyItems.data()};
};

TEST_F(AuthorizationTest, OnePromptGrantsTheRightForTheSessionsLife) {
  AuthorizationRef ref = session();
  prompt.answers.push_back(Credentials{"boss", "right horse"});
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
  ASSERT_EQ(prompt.attempts, std::vector<int>{1});
  EXPECT_EQ(prompt.defaultNames.front(), loginName());

  // Later copies, with or without interaction, find the right already held.
  EXPECT_EQ(auth.copyRights(ref, &rights, &emptyEnvironment, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
  EXPECT_EQ(prompt.attempts.size(), 1u);

  // Another session does not share it.
  AuthorizationRef other = session();
  EXPECT_EQ(auth.copyRights(other, &rights, nullptr, kAuthorizationFlagExtendRights),
            errAuthorizationInteractionNotAllowed);

  // Freed, the session and its rights are gone.
  EXPECT_EQ(auth.free(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kAuthorizationFlagExtendRights),
            errAuthorizationInvalidRef);
  EXPECT_EQ(execute(ref, "/bin/record", {}, nullptr), errAuthorizationInvalidRef);
  EXPECT_EQ(auth.free(ref, kAuthorizationFlagDefaults), errAuthorizationInvalidRef);
  EXPECT_EQ(auth.copyRights(nullptr, &rights, nullptr, kInteractive), errAuthorizationInvalidRef);
}

TEST_F(AuthorizationTest, RightNotHeldIsRefusedWithoutAPrompt) {
  AuthorizationRef ref = session();
  EXPECT_EQ(auth.copyRights(ref, &rights, &emptyEnvironment, kAuthorizationFlagExtendRights),
            errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kAuthorizationFlagDefaults),
            errAuthorizationDenied);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kAuthorizationFlagInteractionAllowed),
            errAuthorizationDenied);
  AuthorizationItem unknown{"system.something.else", 0, nullptr, 0};
  AuthorizationRights unknownRights{1, &unknown};
  EXPECT_EQ(auth.copyRights(ref, &unknownRights, nullptr, kInteractive), errAuthorizationDenied);
  EXPECT_TRUE(prompt.attempts.empty());

  // Creating with rights copies them with the same flags.
  AuthorizationRef made = reinterpret_cast<AuthorizationRef>(&prompt);
  EXPECT_EQ(auth.create(&rights, nullptr, kAuthorizationFlagExtendRights, &made),
            errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(made, nullptr);
  prompt.answers.push_back(Credentials{"boss", "right horse"});
  EXPECT_EQ(auth.create(&rights, nullptr, kInteractive, &made), errAuthorizationSuccess);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(auth.copyRights(made, &rights, nullptr, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, CancelAndWrongCredentials) {
  AuthorizationRef ref = session();
  prompt.answers.push_back(std::nullopt);
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationCanceled);
  EXPECT_EQ(prompt.attempts, std::vector<int>{1});

  // Three wrong tries: a wrong password, a wrong name, a password differing
  // only in case. The right answer queued after them is never asked for.
  prompt.attempts.clear();
  prompt.answers = {Credentials{"boss", "wrong"}, Credentials{"intruder", "right horse"},
                    Credentials{"boss", "Right horse"}, Credentials{"boss", "right horse"}};
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationDenied);
  EXPECT_EQ(prompt.attempts, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(prompt.answers.size(), 1u);

  // A wrong try followed by the right one succeeds on the second attempt.
  prompt.attempts.clear();
  prompt.answers.push_front(Credentials{"boss", ""});
  EXPECT_EQ(auth.copyRights(ref, &rights, nullptr, kInteractive), errAuthorizationSuccess);
  EXPECT_EQ(prompt.attempts, (std::vector<int>{1, 2}));
}

TEST_F(AuthorizationTest, CredentialsInTheEnvironmentAreCheckedWithoutAPrompt) {
  char name[] = "boss";
  char wrong[] = "wrong";
  char correct[] = "right horse";
  std::vector<AuthorizationItem> items{{"username", 4, name, 0}, {"password", 5, wrong, 0}};
  AuthorizationEnvironment environment{2, items.data()};
  AuthorizationRef ref = session();
  EXPECT_EQ(auth.copyRights(ref, &rights, &environment, kAuthorizationFlagExtendRights),
            errAuthorizationDenied);
  items[1] = {"password", 11, correct, 0};
  EXPECT_EQ(auth.copyRights(ref, &rights, &environment, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
  EXPECT_TRUE(prompt.attempts.empty());
}

TEST_F(AuthorizationTest, ExecuteNeedsTheRightAndAStartableTool) {
  AuthorizationRef plain = session();
  EXPECT_EQ(execute(plain, "/bin/record", {}, nullptr), errAuthorizationDenied);

  AuthorizationRef admin = adminSession();
  std::unique_ptr<PrivilegedProcess> process;
  EXPECT_EQ(execute(admin, "/bin/no-such-tool", {}, &process), errAuthorizationToolExecuteFailure);
  EXPECT_EQ(process, nullptr);

  // Without the machine's token there is no privilege to hand on.
  std::filesystem::remove(machine.root() + "/private/var/db/privilege-token");
  EXPECT_EQ(execute(admin, "/bin/record", {}, &process), errAuthorizationToolExecuteFailure);

  EXPECT_FALSE(std::filesystem::exists(machine.root() + "/record.argv"));
}

TEST_F(AuthorizationTest, PrivilegedToolGetsExactlyItsArgumentsAndTheFixedEnvironment) {
  setenv("LD_PRELOAD", "/nonexistent/pomrel-test-preload.so", 1);
  setenv("POMREL_TEST_INHERITED", "1", 1);
  AuthorizationRef admin = adminSession();
  std::unique_ptr<PrivilegedProcess> process;
  const OSStatus status =
      execute(admin, "/bin/record", {"--flag", "two words", "", "$HOME;ls *"}, &process);
  unsetenv("LD_PRELOAD");
  unsetenv("POMREL_TEST_INHERITED");
  ASSERT_EQ(status, errAuthorizationSuccess);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(process->waitUntilExit(60s));

  const std::string root = machine.root();
  EXPECT_EQ(authtest::splitEntries(authtest::readFile(root + "/record.argv")),
            (std::vector<std::string>{"/bin/record", "--flag", "two words", "", "$HOME;ls *"}));
  std::vector<std::string> environment =
      authtest::splitEntries(authtest::readFile(root + "/record.env"));
  std::sort(environment.begin(), environment.end());
  EXPECT_EQ(environment, (std::vector<std::string>{
                             "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                             "POMREL_MACHINE=" + root,
                             std::string(kPrivilegeTokenVariable) + "=" +
                                 readPrivilegeToken(root).value_or("missing"),
                         }));
  EXPECT_EQ(authtest::readFile(root + "/record.stdin"), "/dev/null");
}

TEST_F(AuthorizationTest, WaitUntilExitKeepsToItsBound) {
  AuthorizationRef admin = adminSession();
  std::unique_ptr<PrivilegedProcess> process;
  ASSERT_EQ(execute(admin, "/bin/sleep", {"1"}, &process), errAuthorizationSuccess);
  EXPECT_FALSE(process->waitUntilExit(10ms));
  EXPECT_TRUE(process->waitUntilExit(60s));
  EXPECT_TRUE(process->waitUntilExit(0ms));
  EXPECT_FALSE(authtest::hasUnreapedChild());
}

TEST_F(AuthorizationTest, ToolsWhoseHandleIsGoneAreReaped) {
  AuthorizationRef admin = adminSession();

  // Never asked for a handle: reaped by the next call.
  ASSERT_EQ(execute(admin, "/bin/record", {}, nullptr), errAuthorizationSuccess);
  authtest::waitForAnExitedChild();
  ASSERT_TRUE(authtest::hasUnreapedChild());
  auth.copyRights(admin, &rights, nullptr, kAuthorizationFlagExtendRights);
  EXPECT_FALSE(authtest::hasUnreapedChild());

  // Handle dropped before the tool ended: reaped by the destructor.
  {
    ScriptedPrompt otherPrompt;
    SimAuthorization other(MachinePaths(machine.root()), otherPrompt);
    AuthorizationRef ref = nullptr;
    char name[] = "boss";
    char password[] = "right horse";
    std::vector<AuthorizationItem> items{{"username", 4, name, 0}, {"password", 11, password, 0}};
    AuthorizationEnvironment environment{2, items.data()};
    ASSERT_EQ(other.create(&rights, &environment, kAuthorizationFlagExtendRights, &ref),
              errAuthorizationSuccess);
    std::unique_ptr<PrivilegedProcess> process;
    char* const noArguments[] = {nullptr};
    ASSERT_EQ(other.executeWithPrivileges(ref, "/bin/record", 0, noArguments, &process),
              errAuthorizationSuccess);
    process.reset();
    authtest::waitForAnExitedChild();
    ASSERT_TRUE(authtest::hasUnreapedChild());
  }
  EXPECT_FALSE(authtest::hasUnreapedChild());
}

}  // namespace
}  // namespace pomrel::sim

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include "platform/sim/sim_process_runner.h"
#include "tests/auth/auth_test_support.h"

namespace pomrel::sim {
namespace {

using namespace std::chrono_literals;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  authtest::TempMachine machine;
  SimProcessRunner runner{MachinePaths(machine.root())};
};

TEST_F(ProcessRunnerTest, PassesArgumentsExactlyAndReturnsStandardErrorByteForByte) {
  const std::vector<std::string> arguments{"two words", "", "$HOME", "a;b", "*", "`id`", "\n"};
  const ProcessResult result = runner.run("/bin/echo-args", arguments, 30s);

  ASSERT_TRUE(result.launched);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 7);
  // argv[0] is the path as given, not the resolved one; NUL bytes survive.
  std::vector<std::string> expected{"/bin/echo-args"};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(authtest::splitEntries(result.standardError), expected);
}

TEST_F(ProcessRunnerTest, ReadsMoreThanAPipeHoldsWhileTheToolRuns) {
  constexpr std::size_t kBytes = 1 << 20;
  const ProcessResult result = runner.run("/bin/spew", {std::to_string(kBytes)}, 60s);

  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 3);
  ASSERT_EQ(result.standardError.size(), kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(result.standardError[i]), i % 251) << "at byte " << i;
  }
}

TEST_F(ProcessRunnerTest, ToolThatCannotStartIsNotLaunched) {
  std::ofstream(machine.root() + "/bin/plain") << "not a program\n";
  chmod((machine.root() + "/bin/plain").c_str(), 0644);
  // /usr/bin/env exists on the real machine, not under the root.
  for (const char* tool : {"/bin/no-such-tool", "/usr/bin/env", "/bin/plain"}) {
    const ProcessResult result = runner.run(tool, {}, 30s);
    EXPECT_FALSE(result.launched) << tool;
    EXPECT_EQ(result.exitStatus, -1) << tool;
  }
}

TEST_F(ProcessRunnerTest, ToolPastItsTimeoutIsKilledAndReaped) {
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = runner.run("/bin/sleep", {"30"}, 200ms);

  EXPECT_TRUE(result.launched);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.exitStatus, -1);
  // Far below the tool's 30 s: it was killed, not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  // And reaped: this process has no child left at all.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessRunnerTest, LeavesNoDescriptorOpen) {
  const std::size_t before = authtest::openDescriptorCount();
  runner.run("/bin/echo-args", {"x"}, 30s);
  runner.run("/bin/no-such-tool", {}, 30s);
  runner.run("/bin/sleep", {"30"}, 50ms);
  EXPECT_EQ(authtest::openDescriptorCount(), before);
}

}  // namespace
}  // namespace pomrel::sim

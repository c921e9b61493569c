#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <sstream>

#include "platform/sim/sim_process_runner.h"
#include "tests/auth/auth_test_support.h"

namespace pomrel::sim {
namespace {

using namespace std::chrono_literals;
using authtest::TempMachine;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  TempMachine machine;
  SimProcessRunner runner{MachinePaths(machine.root())};
};

TEST_F(ProcessRunnerTest, PassesArgumentsExactlyAndReturnsStandardErrorByteForByte) {
  const std::vector<std::string> arguments{"two words", "", "$HOME", "a;b", "*", "`id`", "\n"};
  const ProcessResult result = runner.run("/bin/echo-args", arguments, 30s);

  ASSERT_TRUE(result.launched);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 7);
  // argv[0] is the path as given, not the resolved one; NUL bytes survive.
  std::string expected = "/bin/echo-args";
  expected.push_back('\0');
  for (const std::string& argument : arguments) {
    expected += argument;
    expected.push_back('\0');
  }
  EXPECT_EQ(result.standardError, expected);
}

TEST_F(ProcessRunnerTest, ReadsMoreThanAPipeHoldsWhileTheToolRuns) {
  constexpr std::size_t kBytes = 1 << 20;
  const ProcessResult result = runner.run("/bin/spew", {std::to_string(kBytes)}, 60s);

  ASSERT_TRUE(result.launched);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 3);
  ASSERT_EQ(result.standardError.size(), kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(result.standardError[i]), i % 251) << "at byte " << i;
  }
}

TEST_F(ProcessRunnerTest, ToolThatCannotStartIsNotLaunched) {
  const ProcessResult missing = runner.run("/bin/no-such-tool", {}, 30s);
  EXPECT_FALSE(missing.launched);
  EXPECT_EQ(missing.exitStatus, -1);

  // The tool exists only on the real machine, not under the root.
  const ProcessResult outsideRoot = runner.run("/usr/bin/env", {}, 30s);
  EXPECT_FALSE(outsideRoot.launched);

  const std::string plain = machine.root() + "/bin/plain";
  { std::ofstream(plain) << "not a program\n"; }
  chmod(plain.c_str(), 0644);
  const ProcessResult notExecutable = runner.run("/bin/plain", {}, 30s);
  EXPECT_FALSE(notExecutable.launched);
}

TEST_F(ProcessRunnerTest, ToolPastItsTimeoutIsKilledAndReaped) {
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = runner.run("/bin/sleep", {"30"}, 200ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_TRUE(result.launched);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.exitStatus, -1);
  // Far below the tool's 30 s: it was killed, not waited for.
  EXPECT_LT(elapsed, 20s);
  // Reaped: this process has no child left at all.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessRunnerTest, LeaksNoDescriptorAndPassesNoneToTheTool) {
  // Without close-on-exec, as careless code elsewhere might leave it; kept
  // clear of 0..2, which may be closed when the test starts.
  const int opened = open("/dev/null", O_RDONLY);
  ASSERT_GE(opened, 0);
  const int stray = fcntl(opened, F_DUPFD, 10);
  close(opened);
  ASSERT_GE(stray, 10);
  const std::size_t before = authtest::openDescriptorCount();

  const ProcessResult listed = runner.run("/bin/list-fds", {}, 30s);
  runner.run("/bin/echo-args", {"x"}, 30s);
  runner.run("/bin/no-such-tool", {}, 30s);
  runner.run("/bin/sleep", {"30"}, 50ms);

  EXPECT_EQ(authtest::openDescriptorCount(), before);
  close(stray);
  ASSERT_TRUE(listed.launched);
  std::istringstream fds(listed.standardError);
  for (int fd; fds >> fd;) EXPECT_LE(fd, 2) << "the tool inherited descriptor " << fd;
}

}  // namespace
}  // namespace pomrel::sim

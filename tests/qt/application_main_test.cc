// The Pomrel program as built: it refuses to start without a simulated
// machine, and runs headless (where there is no tray) until it is told to
// quit. It inherits the tests' environment, with QT_QPA_PLATFORM=offscreen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <string>

extern char** environ;

namespace pomrel::qt::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A started Pomrel with its standard error in a pipe.
class Program {
 public:
  // Starts it with this process's environment.
  Program() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::string path = POMREL_TEST_PROGRAM;
    char* argv[] = {path.data(), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    stderr_ = fds[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stderr_ >= 0) ::close(stderr_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }

  // Reads standard error until it contains `text` or ends, or `limit` passes.
  bool readUntil(const std::string& text, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (said_.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !readSome(static_cast<int>(left))) return false;
    }
    return true;
  }

  // Sends `signal` (if any), then waits for the exit and the rest of
  // standard error; the exit status, or -1 when it did not exit normally.
  int finish(int signal) {
    if (signal != 0) ::kill(pid_, signal);
    while (readSome(-1)) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  [[nodiscard]] const std::string& said() const { return said_; }

 private:
  bool readSome(int timeoutMs) {
    pollfd p{stderr_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(stderr_, buffer, sizeof buffer);
    if (n <= 0) return false;
    said_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int stderr_ = -1;
  std::string said_;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(PomrelProgramTest, WithoutAMachineItSaysWhatIsMissingAndFails) {
  qunsetenv("POMREL_MACHINE");
  Program program;
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.finish(0), 1);
  EXPECT_NE(program.said().find("POMREL_MACHINE"), std::string::npos) << program.said();
}

TEST(PomrelProgramTest, WithoutATrayItSaysSoOnceAndRunsUntilTerminated) {
  QTemporaryDir machine;
  ASSERT_TRUE(machine.isValid());
  qputenv("POMREL_MACHINE", machine.path().toUtf8());
  Program program;
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.readUntil("no system tray", std::chrono::seconds(60))) << program.said();
  EXPECT_EQ(program.finish(SIGTERM), 0) << program.said();
  EXPECT_EQ(occurrences(program.said(), "no system tray"), 1U) << program.said();
}

}  // namespace
}  // namespace pomrel::qt::testing

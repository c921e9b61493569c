#include "platform/posix/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>
#include <utility>

namespace pomrel::posix {

namespace {

using Clock = std::chrono::steady_clock;

// Waits longer than this are cut to it, so adding a bound to the clock
// cannot overflow.
constexpr std::chrono::hours kLongestWait{24 * 365};

// Without a pidfd, how often a child is checked for having exited.
constexpr std::chrono::milliseconds kFallbackCheckInterval{5};

Clock::time_point deadlineAfter(std::chrono::milliseconds bound) {
  const auto clamped =
      std::clamp<std::chrono::milliseconds>(bound, std::chrono::milliseconds(0), kLongestWait);
  return Clock::now() + clamped;
}

// poll() counts whole milliseconds; rounding up keeps a wait from waking just
// before its deadline and going round again with nothing to do.
int millisecondsUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT_MAX));
}

// Reaps a child known to have exited (or been killed). An unknown status
// (the child was reaped elsewhere, as when SIGCHLD is ignored) is stored as
// -1, which is neither an exit nor a signal.
void reap(pid_t pid, int* waitStatus) {
  int status = 0;
  pid_t got = -1;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  *waitStatus = got == pid ? status : -1;
}

// Reads once from the non-blocking `fd`, at most `limit` bytes, and keeps
// in `out` what fits under kStandardErrorLimit; `*gotBytes` (when given) counts
// every byte read. False at end of file or on an error, when the pipe is of
// no further use.
bool readOnce(int fd, std::string& out, std::size_t limit = SIZE_MAX,
              std::size_t* gotBytes = nullptr) {
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), std::min(buffer.size(), limit));
    if (got > 0) {
      const auto size = static_cast<std::size_t>(got);
      const std::size_t room = kStandardErrorLimit - std::min(out.size(), kStandardErrorLimit);
      out.append(buffer.data(), std::min(size, room));
      if (gotBytes != nullptr) *gotBytes = size;
      return true;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

UniqueFd openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  // pidfds are always close-on-exec.
  return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

bool waitForChild(pid_t pid, const UniqueFd& pidfd, std::chrono::milliseconds bound,
                  int* waitStatus) {
  const auto deadline = deadlineAfter(bound);
  for (;;) {
    if (pidfd.valid()) {
      pollfd watch{pidfd.get(), POLLIN, 0};
      const int ready = poll(&watch, 1, millisecondsUntil(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      reap(pid, waitStatus);
      return true;
    }
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      *waitStatus = status;
      return true;
    }
    if (got < 0 && errno != EINTR) {
      *waitStatus = -1;
      return true;
    }
    const int left = millisecondsUntil(deadline);
    if (left == 0) return false;
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
        kFallbackCheckInterval, std::chrono::milliseconds(left)));
  }
}

int spawnChild(const std::string& path, const std::vector<char*>& argv, char* const* envp,
               const StandardDescriptors& descriptors, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  const std::array<std::pair<int, int>, 3> standard{{{descriptors.input, STDIN_FILENO},
                                                     {descriptors.output, STDOUT_FILENO},
                                                     {descriptors.error, STDERR_FILENO}}};
  for (const auto& [source, target] : standard) {
    if (error != 0) break;
    if (source == kNullDescriptor) {
      error = posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                               target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    } else if (source >= 0) {
      error = posix_spawn_file_actions_adddup2(&actions, source, target);
    }
  }
  // Descriptors the application opened without close-on-exec (its own
  // pipes, sockets, files) are none of the tool's business.
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // An application may block or ignore signals (SIGPIPE, typically); the
  // tool starts as a program started from a shell would.
  if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &all);
  if (error == 0) {
    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (error == 0) error = posix_spawn(pid, path.c_str(), &actions, &attributes, argv.data(), envp);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

PosixProcessRunner::PosixProcessRunner(PathResolver resolvePath)
    : resolvePath_(std::move(resolvePath)) {}

ProcessResult PosixProcessRunner::run(const std::string& launchPath,
                                      const std::vector<std::string>& arguments,
                                      std::chrono::milliseconds timeout) {
  ProcessResult result;
  const auto deadline = deadlineAfter(timeout);

  // posix_spawn does not write to argv; the casts only meet its signature.
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(launchPath.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) return result;
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  // Only our end: the tool's standard error stays blocking, as tools expect.
  if (fcntl(readEnd.get(), F_SETFL, O_NONBLOCK) != 0) return result;

  pid_t pid = 0;
  const int error =
      spawnChild(resolvePath_(launchPath), argv, environ, {.error = writeEnd.get()}, &pid);
  // From here only the tool holds the writing end, so the pipe reaches its
  // end once the tool (and anything it started) has closed it.
  writeEnd.reset();
  if (error != 0) return result;
  result.launched = true;

  const UniqueFd pidfd = openPidfd(pid);
  int waitStatus = -1;
  bool exited = false;
  // Standard error is read while the tool runs: a tool that fills the pipe
  // would otherwise block for ever while we wait for it to exit.
  for (;;) {
    if (waitForChild(pid, pidfd, std::chrono::milliseconds(0), &waitStatus)) {
      exited = true;
      break;
    }
    int wait = millisecondsUntil(deadline);
    if (wait == 0) break;
    if (!pidfd.valid()) {
      wait = std::min(wait, static_cast<int>(kFallbackCheckInterval.count()));
    }
    std::array<pollfd, 2> watch{{{readEnd.get(), POLLIN, 0}, {pidfd.get(), POLLIN, 0}}};
    const int ready = poll(watch.data(), watch.size(), wait);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && watch[0].revents != 0 && !readOnce(readEnd.get(), result.standardError)) {
      readEnd.reset();
    }
  }

  if (!exited) {
    kill(pid, SIGKILL);
    reap(pid, &waitStatus);
    result.timedOut = true;
  }
  // What the tool wrote before it ended is in the pipe, and no more than the
  // pipe holds; reading no further than that keeps a descendant that goes on
  // writing from holding us here.
  if (readEnd.valid()) {
    const int capacity = fcntl(readEnd.get(), F_GETPIPE_SZ);
    std::size_t left = capacity > 0 ? static_cast<std::size_t>(capacity) : 65536;
    while (left > 0) {
      std::size_t got = 0;
      if (!readOnce(readEnd.get(), result.standardError, left, &got) || got == 0) break;
      left -= got;
    }
  }
  if (!result.timedOut && WIFEXITED(waitStatus)) result.exitStatus = WEXITSTATUS(waitStatus);
  return result;
}

}  // namespace pomrel::posix

// Running tools as real child processes, and the child-process helpers that
// the privileged runners share.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace pomrel::posix {

// Runs a tool at the path `resolvePath` maps its path to, started with posix_spawn
// (never a shell) with argv[0] the path as the caller gave it. Its standard
// error is read while it runs, so a tool that writes more than a pipe holds
// cannot block; the first kStandardErrorLimit bytes are returned as written,
// NUL bytes included, and the rest is read and dropped. The
// tool inherits standard input and output, the environment, the working
// folder, and no other descriptor; its signal mask and dispositions start at
// their defaults. Each call owns its descriptors, so calls may overlap.
class PosixProcessRunner : public ProcessRunner {
 public:
  // Maps the path a caller names to the program that runs in its place (the
  // simulated machine's root, or a helper of the bundle on the host).
  using PathResolver = std::function<std::string(const std::string&)>;
  explicit PosixProcessRunner(PathResolver resolvePath);

  ProcessResult run(const std::string& launchPath, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout) override;

 private:
  PathResolver resolvePath_;
};

// A file descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A descriptor that becomes readable when child `pid` exits (pidfd_open,
// close-on-exec); invalid when the kernel offers none.
UniqueFd openPidfd(pid_t pid);

// Waits at most `bound` for child `pid` to exit and, if it has, reaps it and
// stores its wait status. Uses `pidfd` when valid; otherwise falls back to
// checking every few milliseconds. False when it is still running.
bool waitForChild(pid_t pid, const UniqueFd& pidfd, std::chrono::milliseconds bound,
                  int* waitStatus);

// Where a child's standard input, output or error comes from: the
// application's own (kInheritDescriptor), /dev/null (kNullDescriptor), or the
// given open descriptor.
inline constexpr int kInheritDescriptor = -1;
inline constexpr int kNullDescriptor = -2;
struct StandardDescriptors {
  int input = kInheritDescriptor;
  int output = kInheritDescriptor;
  int error = kInheritDescriptor;
};

// Starts `path` with `argv` (argv[0] included) and `envp` (both
// null-terminated), its standard descriptors as `descriptors` say; every
// other descriptor above 2 is closed in it, and its signal mask and
// dispositions are the defaults. Returns 0 and stores the pid, or the error
// number (an exec failure in the child included).
int spawnChild(const std::string& path, const std::vector<char*>& argv, char* const* envp,
               const StandardDescriptors& descriptors, pid_t* pid);

}  // namespace pomrel::posix

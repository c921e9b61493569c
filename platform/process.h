// Running a tool as a child process.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace pomrel {

// How much of a tool's standard error is kept: enough for any message the
// system looks for, and a bound on what a tool that writes without end can
// make the application hold.
inline constexpr std::size_t kStandardErrorLimit = std::size_t{64} * 1024;

struct ProcessResult {
  // False when the tool could not be started at all.
  bool launched = false;
  // True when the tool had not exited within the bound and was killed.
  bool timedOut = false;
  // The exit status when it exited normally, otherwise -1.
  int exitStatus = -1;
  // The first kStandardErrorLimit bytes the tool wrote to its standard
  // error, byte for byte; the rest was read and dropped.
  std::string standardError;
};

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  // Runs the tool at the absolute `launchPath` with `arguments` (not
  // including the program name), without a shell. Its standard error goes
  // into a pipe that is read while it runs, however much it writes; its
  // standard input and output are the application's. Returns once it has exited and been reaped; a
  // tool still running after `timeout` is killed and reaped first.
  virtual ProcessResult run(const std::string& launchPath,
                            const std::vector<std::string>& arguments,
                            std::chrono::milliseconds timeout) = 0;
};

}  // namespace pomrel

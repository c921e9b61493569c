// Tools of the simulated machine run from under its root.
#pragma once

#include <string>

#include "platform/posix/process_runner.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

// Runs "/usr/sbin/diskutil" and the like as the programs at the same paths
// under the machine root.
class SimProcessRunner : public posix::PosixProcessRunner {
 public:
  explicit SimProcessRunner(const MachinePaths& paths)
      : PosixProcessRunner([paths](const std::string& path) { return paths.resolve(path); }) {}
};

}  // namespace pomrel::sim

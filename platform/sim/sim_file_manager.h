// File existence on the simulated machine: absolute paths are looked up under
// the machine root.
#pragma once

#include <string>

#include "platform/file_manager.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

class SimFileManager : public FileManager {
 public:
  explicit SimFileManager(const MachinePaths& paths);

  // Follows symbolic links: a dangling link does not count.
  bool fileExistsAtPath(const std::string& path) override;

 private:
  MachinePaths paths_;
};

}  // namespace pomrel::sim

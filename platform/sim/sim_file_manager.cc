#include "platform/sim/sim_file_manager.h"

#include <sys/stat.h>

namespace pomrel::sim {

SimFileManager::SimFileManager(const MachinePaths& paths) : paths_(paths) {}

bool SimFileManager::fileExistsAtPath(const std::string& path) {
  struct stat info = {};
  return !path.empty() && ::stat(paths_.resolve(path).c_str(), &info) == 0;
}

}  // namespace pomrel::sim

// The process's clock and arguments, and file existence, straight from POSIX.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"

namespace pomrel::posix {

// Pauses with ::sleep and ::usleep; a pause cut short by a signal is resumed
// for the time that remains.
class PosixClock : public Clock {
 public:
  void sleep(unsigned seconds) override;
  void usleep(std::uint32_t microseconds) override;
};

// The arguments given to main, copied at construction.
class PosixProcessInfo : public ProcessInfo {
 public:
  PosixProcessInfo(int argc, char** argv);

  [[nodiscard]] std::vector<std::string> arguments() const override { return arguments_; }
  // From getcwd at each call; "" if it cannot be found.
  [[nodiscard]] std::string currentDirectoryPath() const override;
  // The target of /proc/self/exe at each call; "" if it cannot be read.
  [[nodiscard]] std::string executablePath() const override;

 private:
  std::vector<std::string> arguments_;
};

// Asks the file system itself; follows symbolic links, so a dangling link
// does not count.
class PosixFileManager : public FileManager {
 public:
  bool fileExistsAtPath(const std::string& path) override;
};

}  // namespace pomrel::posix

#pragma once

#include <string>
#include <vector>

namespace pomrel {

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  // The process's argument list; the first element is the executable's path
  // as it was started (possibly relative).
  [[nodiscard]] virtual std::vector<std::string> arguments() const = 0;
  // The absolute path of the current working directory.
  [[nodiscard]] virtual std::string currentDirectoryPath() const = 0;
  // The absolute path of the running executable as the system records it,
  // symbolic links resolved, whatever the first argument says; "" when the
  // system does not tell.
  [[nodiscard]] virtual std::string executablePath() const = 0;
};

}  // namespace pomrel

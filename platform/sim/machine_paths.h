// Where the simulated machine keeps everything: every absolute path the
// system uses is resolved under one root folder.
#pragma once

#include <optional>
#include <string>

namespace pomrel::sim {

class MachinePaths {
 public:
  // A relative `root` is taken relative to the current working folder.
  explicit MachinePaths(std::string root);

  // The machine named by the environment variable POMREL_MACHINE; nullopt
  // when it is unset or empty.
  static std::optional<MachinePaths> fromEnvironment();

  const std::string& root() const { return root_; }

  // `absolutePath` (which starts with "/") as it lies under the root.
  std::string resolve(const std::string& absolutePath) const;

  // The registry folder: one sub-folder per service name.
  std::string registryDirectory() const;

  // root/Users/<login name of the running user>.
  std::string userHome() const;

  // The machine state file.
  std::string statePath() const;

 private:
  std::string root_;
};

}  // namespace pomrel::sim

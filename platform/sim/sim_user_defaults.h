// User defaults of the simulated machine: the property-list store over the
// user's preferences folder, <home>/Library/Preferences.
#pragma once

#include <string>
#include <utility>

#include "platform/posix/plist_user_defaults.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

class SimUserDefaultsFactory : public posix::PlistUserDefaultsFactory {
 public:
  // `applicationDomain` is the application's bundle identifier.
  SimUserDefaultsFactory(const MachinePaths& paths, std::string applicationDomain)
      : PlistUserDefaultsFactory(paths.userHome() + "/Library/Preferences",
                                 std::move(applicationDomain)) {}
};

}  // namespace pomrel::sim

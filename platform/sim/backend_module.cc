// The simulated machine's backends as a module of the program (see
// platform/backends.h): registry, files, processes, authorization and user
// defaults over the machine folder in BackendSettings::machineRoot.
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_file_manager.h"
#include "platform/sim/sim_process_runner.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_user_defaults.h"

extern "C" __attribute__((visibility("default"))) void pomrelMakeBackends(
    const pomrel::BackendSettings& settings, pomrel::Backends& backends) {
  using namespace pomrel::sim;  // NOLINT(google-build-using-namespace)
  const MachinePaths paths(settings.machineRoot);
  backends.registry = std::make_unique<SimRegistry>(paths);
  backends.fileManager = std::make_unique<SimFileManager>(paths);
  backends.processes = std::make_unique<SimProcessRunner>(paths);
  backends.userDefaults =
      std::make_unique<SimUserDefaultsFactory>(paths, settings.applicationDomain);
  backends.authorization =
      std::make_unique<SimAuthorization>(paths, *settings.prompt, settings.runLoop);
}

// The backends a composition root makes and owns, whichever machine they
// stand for; the desktop's own facilities (application, status bar, run loop,
// bundle) are made beside them.
#pragma once

#include <memory>

#include "platform/authorization.h"
#include "platform/device_registry.h"
#include "platform/file_manager.h"
#include "platform/process.h"
#include "platform/user_defaults.h"

namespace pomrel {

struct Backends {
  std::unique_ptr<DeviceRegistry> registry;
  std::unique_ptr<ProcessRunner> processes;
  std::unique_ptr<FileManager> fileManager;
  std::unique_ptr<Authorization> authorization;
  std::unique_ptr<UserDefaultsFactory> userDefaults;
};

}  // namespace pomrel

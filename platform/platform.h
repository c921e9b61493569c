// The platform facilities the core uses, handed to it by the composition
// root. Every reference must outlive the objects that are given it.
#pragma once

#include "platform/application.h"
#include "platform/authorization.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/device_registry.h"
#include "platform/file_manager.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "platform/run_loop.h"
#include "platform/status_bar.h"
#include "platform/user_defaults.h"

namespace pomrel {

struct Platform {
  Application& application;
  Bundle& bundle;
  StatusBar& statusBar;
  DeviceRegistry& registry;
  RunLoop& runLoop;
  ProcessRunner& processes;
  Authorization& authorization;
  FileManager& fileManager;
  ProcessInfo& processInfo;
  UserDefaultsFactory& userDefaults;
  Clock& clock;
};

}  // namespace pomrel

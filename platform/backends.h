// The backends a composition root makes and owns, whichever machine they
// stand for; the desktop's own facilities (application, status bar, run loop,
// bundle) are made beside them.
#pragma once

#include <memory>
#include <string>

#include "platform/authorization.h"
#include "platform/device_registry.h"
#include "platform/file_manager.h"
#include "platform/process.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"

namespace pomrel {

namespace sim {
class CredentialsPrompt;
}

struct Backends {
  std::unique_ptr<DeviceRegistry> registry;
  std::unique_ptr<ProcessRunner> processes;
  std::unique_ptr<FileManager> fileManager;
  std::unique_ptr<Authorization> authorization;
  std::unique_ptr<UserDefaultsFactory> userDefaults;
};

// What a machine's backends are made from.
struct BackendSettings {
  // The application bundle's Contents folder.
  std::string bundleContents;
  // The application's bundle identifier: the name of its defaults domain.
  std::string applicationDomain;
  // The driver plug-in's path as the core names it.
  std::string driverPluginPath;
  // The path the login items store calls this application by.
  std::string applicationPath;
  // The simulated machine's root folder; empty on the host.
  std::string machineRoot;
  // The simulated machine's administrator prompt and the loop it runs in;
  // both outlive the backends. Unused on the host.
  sim::CredentialsPrompt* prompt = nullptr;
  RunLoop* runLoop = nullptr;
};

// Each machine's backends are a module of their own, a shared object in the
// bundle's PlugIns folder, so that the program maps only the libraries of the
// machine it runs on. A module exports, with C linkage and these names:
//   kMakeBackendsEntry:     fills `backends` for `settings`;
//   kDescribeBackendsEntry: (optional) appends to `text` what the backends
//                           use, in lines ending in '\n' (for --help).
inline constexpr const char* kMakeBackendsEntry = "pomrelMakeBackends";
inline constexpr const char* kDescribeBackendsEntry = "pomrelDescribeBackends";
using MakeBackendsFunction = void (*)(const BackendSettings& settings, Backends& backends);
using DescribeBackendsFunction = void (*)(const BackendSettings& settings, std::string& text);

}  // namespace pomrel

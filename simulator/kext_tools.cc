// The stand-in kextload and kextunload: load and unload the card driver's
// plug-in, for a privileged caller only.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "media/sxs_driver.h"
#include "simulator/machine.h"
#include "simulator/privilege.h"
#include "simulator/tool_support.h"
#include "simulator/tools.h"

namespace pomrel::sim {

namespace {

// True when `path` (as the system writes it) names the installed plug-in.
bool isInstalledPlugin(const MachinePaths& paths, const MachineState& state,
                       const std::string& path) {
  if (!state.driverInstalled || path.empty() || path.front() != '/') return false;
  struct stat given = {};
  struct stat plugin = {};
  return ::stat(paths.resolve(path).c_str(), &given) == 0 && S_ISDIR(given.st_mode) &&
         ::stat(paths.resolve(kSxSPluginPath).c_str(), &plugin) == 0 &&
         given.st_dev == plugin.st_dev && given.st_ino == plugin.st_ino;
}

// Opens the machine for kextload/kextunload, after the checks they share.
std::optional<Machine> openForKext(const std::vector<std::string>& args, const char* tool) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: %s KEXT\n", tool);
    return std::nullopt;
  }
  std::optional<MachinePaths> paths = toolMachine(tool);
  if (!paths) return std::nullopt;
  if (!startedWithPrivileges(paths->root())) {
    printError(tool, "this operation requires administrator rights");
    return std::nullopt;
  }
  std::optional<Machine> machine = openMachine(*paths, tool);
  if (machine && !isInstalledPlugin(*paths, machine->state(), args[0])) {
    printError(tool, args[0] + ": no such installed kernel extension");
    return std::nullopt;
  }
  return machine;
}

}  // namespace

int kextunloadMain(const std::vector<std::string>& args) {
  std::optional<Machine> machine = openForKext(args, "kextunload");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  if (!state.pluginLoaded) return failure("kextunload", args[0] + " is not loaded");
  state.pluginLoaded = false;
  state.mediaArrivalPending = false;
  return finish(*machine, "kextunload");
}

int kextloadMain(const std::vector<std::string>& args) {
  std::uint32_t delayMs = 0;
  MachinePaths paths("/");
  {
    std::optional<Machine> machine = openForKext(args, "kextload");
    if (!machine) return kExitFailure;
    MachineState& state = machine->state();
    // Loaded and settled: nothing to do. A load still waiting (whose tool
    // may have been stopped) is taken over.
    if (state.pluginLoaded && !state.mediaArrivalPending) return kExitOk;
    state.pluginLoaded = true;
    state.diskEjected = false;
    state.mediaArrivalPending = state.cardInserted && state.loadDelayMs > 0;
    if (finish(*machine, "kextload") != kExitOk) return kExitFailure;
    if (!state.mediaArrivalPending) return kExitOk;
    delayMs = state.loadDelayMs;
    paths = machine->paths();
  }
  // The driver takes a while to present the card; the machine stays
  // unlocked meanwhile so that the card can be pulled or the plug-in unloaded.
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::optional<Machine> machine = openMachine(paths, "kextload");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  if (!(state.pluginLoaded && state.cardInserted && state.mediaArrivalPending)) return kExitOk;
  state.mediaArrivalPending = false;
  return finish(*machine, "kextload");
}

}  // namespace pomrel::sim

// The sxs-card command: drives the simulated machine from the command line.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "media/sxs_driver.h"
#include "platform/posix/file_reader.h"
#include "platform/sim/machine_paths.h"
#include "simulator/admin_accounts.h"
#include "simulator/machine.h"
#include "simulator/machine_files.h"
#include "simulator/privilege.h"
#include "simulator/tool_support.h"
#include "simulator/tools.h"

namespace pomrel::sim {

namespace {

constexpr const char* kUsage =
    "Usage: sxs-card [--machine DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Drives the simulated machine in the folder DIR, or in $POMREL_MACHINE.\n"
    "\n"
    "Commands:\n"
    "  init [--load-delay MS]  create or reset the machine: the card driver installed and its\n"
    "                          plug-in loaded, no card; install the stand-in diskutil, kextload\n"
    "                          and kextunload. MS: how long a loaded plug-in takes to present an\n"
    "                          inserted card (default 500). Administrator accounts are kept.\n"
    "  insert [--disk NAME]    insert a card whose disk is NAME (default disk2)\n"
    "  pull                    pull the card out\n"
    "  install-driver          install the card driver (load its plug-in with kextload)\n"
    "  remove-driver           remove the card driver, unloading its plug-in\n"
    "  busy on [PROGRAM]|off   hold the card's volume open, so that ejecting it fails, or let go;\n"
    "                          the holder is the program that ran sxs-card (its pid), named\n"
    "                          PROGRAM if given (1 to 64 bytes, no control characters)\n"
    "  status                  show the machine's state and its card media service\n"
    "  admin NAME              set the password of administrator NAME\n"
    "  help                    show this help\n";

int usageError(std::string_view message) {
  printError("sxs-card", message);
  std::fputs("Try 'sxs-card help'.\n", stderr);
  return kExitUsage;
}

std::optional<std::uint32_t> parseMilliseconds(const std::string& text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value > kMaxLoadDelayMs) {
    return std::nullopt;
  }
  return value;
}

// Splits "--name VALUE" or "--name=VALUE" at args[i]; advances i past it.
// nullopt when args[i] is not that option; "" with *missing set when the
// value is missing.
std::optional<std::string> optionValue(const std::vector<std::string>& args, std::size_t& i,
                                       const std::string& name, bool* missing) {
  const std::string& word = args[i];
  if (word == name) {
    if (i + 1 >= args.size()) {
      *missing = true;
      return std::string();
    }
    i += 2;
    return args[i - 1];
  }
  if (word.starts_with(name + "=")) {
    ++i;
    return word.substr(name.size() + 1);
  }
  return std::nullopt;
}

int commandInit(const MachinePaths& paths, std::uint32_t loadDelayMs) {
  std::string error;
  if (!makeDirectories(paths.root())) return failure("sxs-card", "cannot create " + paths.root());
  std::optional<Machine> machine = Machine::openForInit(paths, &error);
  if (!machine) return failure("sxs-card", error);
  for (const std::string& folder :
       {paths.registryDirectory(), paths.resolve("/private/var/db"), paths.resolve("/private/etc"),
        paths.userHome() + "/Library/Preferences"}) {
    if (!makeDirectories(folder)) return failure("sxs-card", "cannot create " + folder);
  }
  if (!isDirectory(paths.resolve(kSxSPluginPath)) && !installDriverBundle(paths, &error)) {
    return failure("sxs-card", error);
  }
  if (!installTools(paths, &error)) return failure("sxs-card", error);
  if (!createPrivilegeToken(paths.root())) {
    return failure("sxs-card", "cannot create the privilege token under " + paths.root());
  }
  const std::uint64_t highest = machine->registry().removeAll();
  MachineState& state = machine->state();
  if (state.nextEntryId <= highest) state.nextEntryId = highest + 1;
  state.driverInstalled = true;
  state.pluginLoaded = true;
  state.loadDelayMs = loadDelayMs;
  if (finish(*machine, "sxs-card") != kExitOk) return kExitFailure;
  std::printf("Initialised the simulated machine at %s\n", paths.root().c_str());
  return kExitOk;
}

int commandInsert(const MachinePaths& paths, const std::string& disk) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  if (state.cardInserted) {
    return failure("sxs-card",
                   "a card is already inserted (disk " + state.diskName + "); pull it out first");
  }
  state.cardInserted = true;
  state.diskName = disk;
  state.diskEjected = false;
  state.mediaArrivalPending = false;
  return finish(*machine, "sxs-card");
}

int commandPull(const MachinePaths& paths) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  if (!state.cardInserted) return failure("sxs-card", "no card is inserted");
  state.cardInserted = false;
  state.diskEjected = false;
  state.mediaArrivalPending = false;
  return finish(*machine, "sxs-card");
}

int commandInstallDriver(const MachinePaths& paths) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  if (state.driverInstalled && isDirectory(paths.resolve(kSxSPluginPath))) {
    return failure("sxs-card", "the card driver is already installed");
  }
  std::string error;
  if (!installDriverBundle(paths, &error)) return failure("sxs-card", error);
  state.driverInstalled = true;
  if (!machine->save(&error)) {
    // The state still says "not installed"; so must the files.
    std::optional<std::string> aside = detachDriverBundle(paths, &error);
    if (aside && !aside->empty()) removeTree(*aside);
    return failure("sxs-card", error);
  }
  return finish(*machine, "sxs-card");
}

int commandRemoveDriver(const MachinePaths& paths) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  const std::string driver = paths.resolve(kDriverBundlePath);
  if (!state.driverInstalled && ::access(driver.c_str(), F_OK) != 0) {
    return failure("sxs-card", "the card driver is not installed");
  }
  std::string error;
  std::optional<std::string> aside = detachDriverBundle(paths, &error);
  if (!aside) return failure("sxs-card", error);
  state.driverInstalled = false;
  state.pluginLoaded = false;
  state.mediaArrivalPending = false;
  if (!machine->save(&error)) {
    if (!aside->empty() && ::rename((*aside + "/bundle").c_str(), driver.c_str()) == 0) {
      removeTree(*aside);
    }
    return failure("sxs-card", error);
  }
  if (!aside->empty()) removeTree(*aside);
  return finish(*machine, "sxs-card");
}

// The program that ran sxs-card, as the busy volume's holder.
std::pair<std::string, std::uint64_t> callerAsHolder() {
  const pid_t parent = ::getppid();
  std::string name =
      posix::readFile("/proc/" + std::to_string(parent) + "/comm", posix::kSystemFileLimit).bytes;
  while (!name.empty() && name.back() == '\n') name.pop_back();
  if (!isValidHolderName(name)) name = "unknown";
  return {name, static_cast<std::uint64_t>(parent)};
}

int commandBusy(const MachinePaths& paths, bool busy, std::string holder) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  MachineState& state = machine->state();
  auto [caller, pid] = callerAsHolder();
  state.busyHolder = busy ? (holder.empty() ? caller : std::move(holder)) : std::string();
  state.busyHolderPid = busy ? pid : 0;
  if (state.busy == busy) return finish(*machine, "sxs-card");
  state.busy = busy;
  // Only a change is announced, to the media service of the moment.
  std::vector<std::pair<EntryId, std::uint64_t>> notices;
  for (EntryId id : machine->mediaServices()) notices.emplace_back(id, machine->drawNumber());
  if (finish(*machine, "sxs-card") != kExitOk) return kExitFailure;
  for (const auto& [id, sequence] : notices) {
    if (!machine->registry().postMessageAs(kSxSMediaServiceName, id, sequence,
                                           kSxSMessageBusyStateChanged)) {
      return failure("sxs-card", "cannot send the busy-state message to the media service");
    }
  }
  return kExitOk;
}

const char* yesNo(bool value) { return value ? "yes" : "no"; }

int commandStatus(const MachinePaths& paths) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  const MachineState& state = machine->state();
  std::printf("machine:         %s\n", paths.root().c_str());
  std::printf("driver:          %s\n", state.driverInstalled ? "installed" : "not installed");
  std::printf("plug-in:         %s\n", !state.pluginLoaded ? "not loaded"
                                       : state.mediaArrivalPending
                                           ? "loading (the card's media arrives shortly)"
                                           : "loaded");
  if (state.cardInserted) {
    std::printf("card:            inserted, disk %s%s\n", state.diskName.c_str(),
                state.diskEjected ? " (ejected)" : "");
  } else {
    std::printf("card:            none\n");
  }
  std::printf("volume busy:     %s", yesNo(state.busy));
  if (state.busy && !state.busyHolder.empty()) {
    std::printf(", held by %s (pid %llu)", state.busyHolder.c_str(),
                static_cast<unsigned long long>(state.busyHolderPid));
  }
  std::printf("\n");
  std::printf("load delay:      %u ms\n", state.loadDelayMs);
  const std::vector<EntryId> services = machine->mediaServices();
  if (services.empty()) {
    std::printf("media service:   none\n");
  }
  for (EntryId id : services) {
    std::optional<PropertyDictionary> properties =
        machine->registry().readEntry(kSxSMediaServiceName, id);
    const PropertyValue* name = nullptr;
    if (properties) {
      auto it = properties->find(kSxSBSDNameKey);
      if (it != properties->end()) name = &it->second;
    }
    std::printf("media service:   \"%s\" entry ID %llu, BSD Name %s\n", kSxSMediaServiceName,
                static_cast<unsigned long long>(id),
                name != nullptr && name->string() != nullptr ? name->string()->c_str() : "?");
  }
  return kExitOk;
}

}  // namespace

int sxsCardMain(const std::vector<std::string>& args) {
  std::size_t i = 0;
  std::optional<std::string> root;
  bool missing = false;
  while (i < args.size() && args[i].starts_with("--machine")) {
    std::optional<std::string> value = optionValue(args, i, "--machine", &missing);
    if (!value) return usageError("unknown option " + args[i]);
    if (missing || value->empty()) return usageError("--machine needs a folder");
    root = *value;
  }
  if (i >= args.size()) return usageError("no command given");
  const std::string& command = args[i++];
  const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

  if (command == "help" || command == "--help" || command == "-h") {
    if (!rest.empty()) return usageError("help takes no arguments");
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  static constexpr std::string_view kCommands[] = {
      "init", "insert", "pull", "install-driver", "remove-driver", "busy", "status", "admin"};
  if (std::find(std::begin(kCommands), std::end(kCommands), command) == std::end(kCommands)) {
    return usageError("unknown command '" + command + "'");
  }
  std::optional<MachinePaths> paths =
      root ? std::optional<MachinePaths>(MachinePaths(*root)) : MachinePaths::fromEnvironment();
  if (!paths) return usageError("no machine: give --machine DIR or set POMREL_MACHINE");

  if (command == "init") {
    std::uint32_t delay = kDefaultLoadDelayMs;
    for (std::size_t j = 0; j < rest.size();) {
      std::optional<std::string> value = optionValue(rest, j, "--load-delay", &missing);
      if (!value) return usageError("init: unexpected argument '" + rest[j] + "'");
      std::optional<std::uint32_t> parsed = parseMilliseconds(*value);
      if (missing || !parsed) {
        return usageError("init: --load-delay needs a number of milliseconds from 0 to " +
                          std::to_string(kMaxLoadDelayMs));
      }
      delay = *parsed;
    }
    return commandInit(*paths, delay);
  }
  if (command == "insert") {
    std::string disk = kDefaultDiskName;
    for (std::size_t j = 0; j < rest.size();) {
      std::optional<std::string> value = optionValue(rest, j, "--disk", &missing);
      if (!value) return usageError("insert: unexpected argument '" + rest[j] + "'");
      if (missing || !isValidDiskName(*value)) {
        return usageError("insert: --disk needs a name of 1 to 255 bytes without '/'");
      }
      disk = *value;
    }
    return commandInsert(*paths, disk);
  }
  if (command == "busy") {
    const bool on = !rest.empty() && rest[0] == "on";
    const bool off = rest.size() == 1 && rest[0] == "off";
    if (!(off || (on && rest.size() == 1) ||
          (on && rest.size() == 2 && isValidHolderName(rest[1])))) {
      return usageError("busy needs 'on' with an optional program name, or 'off'");
    }
    return commandBusy(*paths, on, rest.size() == 2 ? rest[1] : std::string());
  }
  if (command == "admin") return runAdminCommand(paths->root(), rest);
  if (!rest.empty()) return usageError(command + " takes no arguments");
  if (command == "pull") return commandPull(*paths);
  if (command == "install-driver") return commandInstallDriver(*paths);
  if (command == "remove-driver") return commandRemoveDriver(*paths);
  return commandStatus(*paths);
}

}  // namespace pomrel::sim

#include "simulator/tools.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string_view>
#include <thread>

#include "media/sxs_driver.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"
#include "platform/sim/machine_paths.h"
#include "simulator/admin_accounts.h"
#include "simulator/machine.h"
#include "simulator/privilege.h"

namespace pomrel::sim {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

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
    "  busy on|off             hold the card's volume open, so that ejecting it fails, or let go\n"
    "  status                  show the machine's state and its card media service\n"
    "  admin NAME              set the password of administrator NAME\n"
    "  help                    show this help\n";

void printError(std::string_view tool, std::string_view message) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(tool.size()), tool.data(),
               static_cast<int>(message.size()), message.data());
}

int usageError(std::string_view message) {
  printError("sxs-card", message);
  std::fputs("Try 'sxs-card help'.\n", stderr);
  return kExitUsage;
}

int failure(std::string_view tool, std::string_view message) {
  printError(tool, message);
  return kExitFailure;
}

bool makeDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && std::filesystem::is_directory(path, ec);
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A folder next to `path` with a unique name, for building or dismantling
// something that must appear or vanish at `path` in one rename.
std::optional<std::string> makeSiblingTemp(const std::string& path, const char* purpose) {
  const std::size_t slash = path.rfind('/');
  std::string temp = path.substr(0, slash + 1) + "." + purpose + "-XXXXXX";
  if (::mkdtemp(temp.data()) == nullptr) return std::nullopt;
  return temp;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool writeBundleInfo(const std::string& bundle, const char* identifier, const char* name) {
  const PropertyDictionary info{
      {"CFBundleIdentifier", identifier},       {"CFBundleName", name},
      {"CFBundlePackageType", "KEXT"},          {"CFBundleVersion", "1.0"},
      {"CFBundleInfoDictionaryVersion", "6.0"},
  };
  return makeDirectories(bundle + "/Contents") &&
         posix::writePropertyListFile(bundle + "/Contents/Info.plist", PropertyValue(info), 0644);
}

// Makes the driver bundle, with its plug-in, appear whole at its path.
bool installDriverBundle(const MachinePaths& paths, std::string* error) {
  const std::string driver = paths.resolve(kDriverBundlePath);
  if (!makeDirectories(driver.substr(0, driver.rfind('/')))) {
    *error = "cannot create " + driver.substr(0, driver.rfind('/'));
    return false;
  }
  std::optional<std::string> temp = makeSiblingTemp(driver, "installing");
  if (!temp) {
    *error = "cannot create a folder beside " + driver;
    return false;
  }
  const std::string pluginRelative =
      std::string(kSxSPluginPath).substr(std::string_view(kDriverBundlePath).size());
  const bool built =
      ::chmod(temp->c_str(), 0755) == 0 &&
      writeBundleInfo(*temp, "local.simulated.sxs-card", "SxS Memory Card") &&
      writeBundleInfo(*temp + pluginRelative, "local.simulated.sxs-card.64", "SxS Memory Card 64");
  // An incomplete bundle left at the path (say, by hand) is replaced whole.
  std::optional<std::string> old;
  if (built && ::access(driver.c_str(), F_OK) == 0) {
    old = makeSiblingTemp(driver, "replaced");
    if (old && ::rename(driver.c_str(), (*old + "/bundle").c_str()) != 0) {
      removeTree(*old);
      old.reset();
    }
  }
  if (!built || ::rename(temp->c_str(), driver.c_str()) != 0) {
    *error = "cannot install the driver at " + driver;
    removeTree(*temp);
    // The earlier bundle goes back; if it cannot, it stays aside rather
    // than being lost.
    if (old && ::rename((*old + "/bundle").c_str(), driver.c_str()) == 0) removeTree(*old);
    return false;
  }
  if (old) removeTree(*old);
  return true;
}

// Moves the driver bundle out of its path in one rename. Returns the folder
// now holding it (to delete, or to move back), or "" when none was there;
// nullopt on failure.
std::optional<std::string> detachDriverBundle(const MachinePaths& paths, std::string* error) {
  const std::string driver = paths.resolve(kDriverBundlePath);
  if (::access(driver.c_str(), F_OK) != 0) return std::string();
  std::optional<std::string> aside = makeSiblingTemp(driver, "removing");
  if (!aside || ::rename(driver.c_str(), (*aside + "/bundle").c_str()) != 0) {
    if (aside) removeTree(*aside);
    *error = "cannot remove the driver at " + driver + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return aside;
}

bool installTools(const MachinePaths& paths, std::string* error) {
  const posix::FileRead self = posix::readFile("/proc/self/exe", posix::kProgramFileLimit);
  if (!self.ok() || self.bytes.empty()) {
    *error = "cannot read this program from /proc/self/exe";
    return false;
  }
  const std::string& program = self.bytes;
  for (const char* tool : {kDiskUtilPath, kKextLoadPath, kKextUnloadPath}) {
    const std::string path = paths.resolve(tool);
    if (!makeDirectories(path.substr(0, path.rfind('/'))) ||
        !posix::writeFileAtomically(path, program, 0755)) {
      *error = std::string("cannot install the stand-in ") + tool + " at " + path;
      return false;
    }
  }
  return true;
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

std::optional<Machine> openMachine(const MachinePaths& paths, std::string_view tool) {
  std::string error;
  std::optional<Machine> machine = Machine::open(paths, &error);
  if (!machine) printError(tool, error);
  return machine;
}

int finish(Machine& machine, std::string_view tool) {
  std::string error;
  return machine.commit(&error) ? kExitOk : failure(tool, error);
}

// ---- sxs-card commands ----

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

int commandBusy(const MachinePaths& paths, bool busy) {
  std::optional<Machine> machine = openMachine(paths, "sxs-card");
  if (!machine) return kExitFailure;
  if (machine->state().busy == busy) return kExitOk;
  machine->state().busy = busy;
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
  std::printf("volume busy:     %s\n", yesNo(state.busy));
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

// ---- the stand-in tools ----

std::optional<MachinePaths> toolMachine(std::string_view tool) {
  std::optional<MachinePaths> paths = MachinePaths::fromEnvironment();
  if (!paths) printError(tool, "POMREL_MACHINE does not name a simulated machine");
  return paths;
}

// True when `path` (as the system writes it) names the installed plug-in.
bool isInstalledPlugin(const MachinePaths& paths, const MachineState& state,
                       const std::string& path) {
  if (!state.driverInstalled || path.empty() || path.front() != '/') return false;
  struct stat given {};
  struct stat plugin {};
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
    if (rest.size() != 1 || (rest[0] != "on" && rest[0] != "off")) {
      return usageError("busy needs 'on' or 'off'");
    }
    return commandBusy(*paths, rest[0] == "on");
  }
  if (command == "admin") return runAdminCommand(paths->root(), rest);
  if (!rest.empty()) return usageError(command + " takes no arguments");
  if (command == "pull") return commandPull(*paths);
  if (command == "install-driver") return commandInstallDriver(*paths);
  if (command == "remove-driver") return commandRemoveDriver(*paths);
  return commandStatus(*paths);
}

int diskutilMain(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "eject") {
    std::fputs("usage: diskutil eject DISK\n", stderr);
    return kExitFailure;
  }
  std::optional<MachinePaths> paths = toolMachine("diskutil");
  if (!paths) return kExitFailure;
  std::optional<Machine> machine = openMachine(*paths, "diskutil");
  if (!machine) return kExitFailure;
  std::string disk = args[1];
  if (disk.starts_with("/dev/")) disk.erase(0, 5);
  MachineState& state = machine->state();
  if (!state.mediaServiceShouldExist() || disk != state.diskName) {
    std::fprintf(stderr, "Unable to find disk %s\n", args[1].c_str());
    return kExitFailure;
  }
  if (state.busy) {
    std::fprintf(stderr, "Disk %s: Volume failed to eject (the volume is in use)\n", disk.c_str());
    return kExitFailure;
  }
  state.diskEjected = true;
  if (finish(*machine, "diskutil") != kExitOk) return kExitFailure;
  std::printf("Disk %s ejected\n", disk.c_str());
  return kExitOk;
}

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

int multiCallMain(int argc, char** argv) {
  const std::string_view invoked = argc > 0 && argv[0] != nullptr ? argv[0] : "sxs-card";
  const std::string_view name = invoked.substr(invoked.rfind('/') + 1);
  const std::vector<std::string> args =
      argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
  if (name == "diskutil") return diskutilMain(args);
  if (name == "kextload") return kextloadMain(args);
  if (name == "kextunload") return kextunloadMain(args);
  return sxsCardMain(args);
}

}  // namespace pomrel::sim

// The stand-in diskutil: ejects the card's disk unless its volume is busy,
// and then names the program that holds it (media/eject_report.h).
#include <cstdio>
#include <optional>
#include <string>

#include "media/eject_report.h"
#include "simulator/machine.h"
#include "simulator/tool_support.h"
#include "simulator/tools.h"

namespace pomrel::sim {

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
    if (!state.busyHolder.empty()) {
      std::fprintf(stderr, "%s\t%llu\t%s\n", std::string(kHolderTag).c_str(),
                   static_cast<unsigned long long>(state.busyHolderPid), state.busyHolder.c_str());
    }
    return kExitFailure;
  }
  state.diskEjected = true;
  if (finish(*machine, "diskutil") != kExitOk) return kExitFailure;
  std::printf("Disk %s ejected\n", disk.c_str());
  return kExitOk;
}

}  // namespace pomrel::sim

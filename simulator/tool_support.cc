#include "simulator/tool_support.h"

#include <cstdio>
#include <string>

namespace pomrel::sim {

void printError(std::string_view tool, std::string_view message) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(tool.size()), tool.data(),
               static_cast<int>(message.size()), message.data());
}

int failure(std::string_view tool, std::string_view message) {
  printError(tool, message);
  return kExitFailure;
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

std::optional<MachinePaths> toolMachine(std::string_view tool) {
  std::optional<MachinePaths> paths = MachinePaths::fromEnvironment();
  if (!paths) printError(tool, "POMREL_MACHINE does not name a simulated machine");
  return paths;
}

}  // namespace pomrel::sim

// What sxs-card and the stand-in tools share: their exit statuses, how they
// report an error, and how they open and commit the machine.
#pragma once

#include <optional>
#include <string_view>

#include "platform/sim/machine_paths.h"
#include "simulator/machine.h"

namespace pomrel::sim {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "TOOL: MESSAGE" on standard error.
void printError(std::string_view tool, std::string_view message);

// Prints the error and answers kExitFailure.
int failure(std::string_view tool, std::string_view message);

// The machine at `paths`, locked; nullopt (the reason printed) when it
// cannot be opened.
std::optional<Machine> openMachine(const MachinePaths& paths, std::string_view tool);

// Commits the machine's state: kExitOk, or kExitFailure with the reason printed.
int finish(Machine& machine, std::string_view tool);

// The machine named by POMREL_MACHINE, for a stand-in tool.
std::optional<MachinePaths> toolMachine(std::string_view tool);

}  // namespace pomrel::sim

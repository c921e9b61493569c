// The simulated hardware's command line: `sxs-card`, and the stand-in system
// tools that `sxs-card init` installs as copies of the same program. The
// program acts as the tool named by the last part of argv[0].
//
// Exit statuses of sxs-card: 0 done, 1 the machine refused or failed (the
// reason on standard error; nothing is left half-written), 2 bad usage.
// The stand-in tools exit 0 or 1 as the tools they stand for do.
#pragma once

#include <string>
#include <vector>

namespace pomrel::sim {

// Dispatches on argv[0]'s last part: "diskutil", "kextload", "kextunload",
// otherwise sxs-card.
int multiCallMain(int argc, char** argv);

// `args` are the words after the program name.
int sxsCardMain(const std::vector<std::string>& args);

// diskutil eject DISK: ejects the card's disk unless its volume is busy.
// The machine is the one named by POMREL_MACHINE.
int diskutilMain(const std::vector<std::string>& args);

// kextload / kextunload PLUGIN: loads or unloads the card driver's plug-in.
// Refused unless started by the privileged runner (with the machine's
// privilege token) and given the installed plug-in's path.
int kextloadMain(const std::vector<std::string>& args);
int kextunloadMain(const std::vector<std::string>& args);

}  // namespace pomrel::sim

#include <string_view>

#include "simulator/tools.h"

namespace pomrel::sim {

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

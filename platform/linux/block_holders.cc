#include "platform/linux/block_holders.h"

#include <dirent.h>

#include <set>
#include <string_view>

namespace pomrel::host {
namespace {

// The names in `folder`, without "." and "..": none when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

// The holders found in the folders `pending`, and theirs, each once.
std::vector<std::string> holdersFrom(std::vector<std::string> pending, const std::string& block) {
  std::set<std::string> seen;
  std::vector<std::string> holders;
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    for (std::string& name : folderEntries(folder)) {
      if (!seen.insert(name).second) continue;
      pending.push_back(block + name + "/holders");
      holders.push_back(std::move(name));
    }
  }
  return holders;
}

}  // namespace

std::vector<std::string> blockHolders(const std::string& kernelName, const std::string& sysRoot) {
  const std::string block = sysRoot + "/block/";
  const std::string disk = block + kernelName + "/";
  std::vector<std::string> pending{disk + "holders"};
  // A partition's folder inside the disk's is named after the disk.
  for (const std::string& entry : folderEntries(disk)) {
    if (entry.starts_with(kernelName)) pending.push_back(disk + entry + "/holders");
  }
  return holdersFrom(std::move(pending), block);
}

std::vector<std::string> holdersOf(const std::string& sysPath, const std::string& sysRoot) {
  return holdersFrom({sysPath + "/holders"}, sysRoot + "/block/");
}

}  // namespace pomrel::host

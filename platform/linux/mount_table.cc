#include "platform/linux/mount_table.h"

#include <sys/sysmacros.h>

#include <cstdio>
#include <sstream>

#include "platform/posix/file_reader.h"

namespace pomrel::host {

bool MountTable::read(const std::string& path) {
  byNumber_.clear();
  bySource_.clear();
  byPoint_.clear();
  const posix::FileRead table = posix::readFile(path, posix::kSystemFileLimit);
  if (!table.ok()) return false;
  std::istringstream lines(table.bytes);
  for (std::string line; std::getline(lines, line);) {
    // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE ...";
    // paths keep their spaces as "\040", so fields split at spaces.
    std::istringstream fields(line);
    std::string id, parent, number, root, point, word;
    fields >> id >> parent >> number >> root >> point;
    unsigned major = 0, minor = 0;
    if (std::sscanf(number.c_str(), "%u:%u", &major, &minor) == 2) {
      byNumber_.emplace(makedev(major, minor), point);
    }
    while (fields >> word && word != "-") {
    }
    std::string type, source;
    if (fields >> type >> source) {
      bySource_.emplace(source, point);
      byPoint_.emplace(point, std::pair(type, source));
    }
  }
  return true;
}

std::vector<std::string> MountTable::mountPointsOf(const UdevDevice& device) const {
  std::vector<std::string> points;
  if (const dev_t number = device.devNumber(); number != 0) {
    for (auto [at, end] = byNumber_.equal_range(number); at != end; ++at)
      points.push_back(at->second);
  }
  if (points.empty() && !device.devNode().empty()) {
    for (auto [at, end] = bySource_.equal_range(device.devNode()); at != end; ++at) {
      points.push_back(at->second);
    }
  }
  return points;
}

std::vector<std::string> MountTable::sourcesAt(const std::string& point,
                                               const std::string& type) const {
  std::vector<std::string> sources;
  for (auto [at, end] = byPoint_.equal_range(point); at != end; ++at) {
    if (at->second.first == type) sources.push_back(at->second.second);
  }
  return sources;
}

}  // namespace pomrel::host

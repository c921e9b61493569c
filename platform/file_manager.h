#pragma once

#include <string>

namespace pomrel {

class FileManager {
 public:
  virtual ~FileManager() = default;
  // Whether a file or directory (or anything else) exists at the absolute
  // `path`. A symbolic link counts when its target exists.
  virtual bool fileExistsAtPath(const std::string& path) = 0;
};

}  // namespace pomrel

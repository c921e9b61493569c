// Helpers shared by the defaults tests: scratch folders, whole-file I/O and
// the values of the crash-test writer.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/property_list.h"

namespace pomrel::sim::testing {

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the scope.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pomrel-defaults-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The program that runs the tests, so it can be started again as a helper.
std::string selfExecutable();

// What the crash-test writer stores as generation n of kWriterDomain. The
// payload's size varies with n, so a file cut short or mixed from two writes
// matches no generation.
inline constexpr const char* kWriterDomain = "writer.domain";
inline PropertyDictionary writerValue(std::int64_t generation) {
  const std::string payload(static_cast<std::size_t>(100 + generation % 4000), 'x');
  return {{"generation", PropertyInteger::fromSigned(generation)},
          {"payload", payload},
          {"list", PropertyArray{PropertyInteger::fromSigned(-generation), generation % 2 == 0}}};
}

}  // namespace pomrel::sim::testing

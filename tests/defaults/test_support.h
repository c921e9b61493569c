// Helpers shared by the defaults tests: scratch folders and whole-file I/O.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include "platform/property_list.h"

namespace pomrel {

// Readable failure messages for property values.
inline void PrintTo(const PropertyValue& value, std::ostream* out) {  // NOLINT(misc-no-recursion)
  if (const auto* s = value.string()) {
    *out << '"' << *s << '"';
  } else if (const auto* b = value.boolean()) {
    *out << (*b ? "true" : "false");
  } else if (const auto* i = value.integer()) {
    if (i->isUnsigned) {
      *out << i->bits << 'u';
    } else {
      *out << static_cast<std::int64_t>(i->bits);
    }
  } else if (const auto* r = value.real()) {
    *out << *r << 'r';
  } else if (const auto* d = value.date()) {
    *out << "date(" << std::to_string(d->secondsSinceReferenceDate) << ')';
  } else if (const auto* data = value.data()) {
    *out << "data(" << data->size() << " bytes)";
  } else if (const auto* array = value.array()) {
    *out << '[';
    for (const auto& item : *array) PrintTo(item, out), *out << ", ";
    *out << ']';
  } else if (const auto* dict = value.dictionary()) {
    *out << '{';
    for (const auto& [key, item] : *dict) *out << key << ": ", PrintTo(item, out), *out << ", ";
    *out << '}';
  }
}

}  // namespace pomrel

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

}  // namespace pomrel::sim::testing

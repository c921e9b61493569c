// A preference domain file (the input) read, written back and read again,
// each time through a fresh defaults object; what is written back is what was
// read, or a fixed domain when the file holds no readable domain. The checks
// below are the invariants; an unreadable file is never destroyed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"
#include "platform/property_list.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_user_defaults.h"

namespace pomrel::fuzz {
namespace {

// Reports a broken invariant; libFuzzer then saves the input that did it.
void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// A fresh folder under TMPDIR (scripts/fuzz points it at memory, since every
// input writes files).
std::string scratchFolder() {
  std::string path = (std::filesystem::temp_directory_path() / "pomrel-fuzz-XXXXXX").string();
  check(::mkdtemp(path.data()) != nullptr, "cannot make a scratch folder");
  return path;
}

constexpr const char* kDomain = "loginwindow";

// A machine in a scratch folder, removed at exit.
struct Machine {
  ~Machine() { std::filesystem::remove_all(paths.root()); }
  sim::MachinePaths paths{scratchFolder()};
  sim::SimUserDefaultsFactory factory{paths, "org.pomrel.fuzz"};
  std::string folder = factory.preferencesFolder();
  std::string file = folder + "/" + kDomain + ".plist";
};

void runOne(const std::uint8_t* data, std::size_t size) {
  static Machine m;
  std::filesystem::remove_all(m.folder);
  std::filesystem::create_directories(m.folder);
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::ofstream(m.file, std::ios::binary) << input;

  const auto read = m.factory.makeUserDefaults()->persistentDomainForName(kDomain);
  const PropertyDictionary written =
      read ? *read : PropertyDictionary{{"AutoLaunchedApplicationDictionary", PropertyArray{}}};
  {
    const auto defaults = m.factory.makeUserDefaults();
    defaults->setPersistentDomain(written, kDomain);
    check(defaults->synchronize(), "synchronize failed on a writable folder");
  }
  const auto again = m.factory.makeUserDefaults()->persistentDomainForName(kDomain);
  // Equal bit for bit: the binary form holds reals and dates as their 8 bytes
  // (a NaN as that NaN, -0 as -0), where PropertyValue's == compares numbers.
  check(again && posix::serializeBinaryPropertyList(*again) ==
                     posix::serializeBinaryPropertyList(written),
        "the domain read back differs from what was written, or does not read back");

  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(m.folder)) {
    if (entry.path() != m.file) aside.push_back(entry.path());
  }
  check(aside.size() == (read ? 0U : 1U),
        "not kept aside exactly when unreadable and once, or a temporary left");
  check(read || posix::readFile(aside[0], posix::kPreferenceFileLimit).bytes == input,
        "the file kept aside is not the unreadable file");
}

}  // namespace
}  // namespace pomrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pomrel::fuzz::runOne(data, size);
  return 0;
}

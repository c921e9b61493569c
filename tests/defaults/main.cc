// The defaults tests, and the writer that the crash tests start and kill:
// `<this program> --defaults-writer=<preferences folder>` rewrites one domain
// in a loop until it is killed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/sim/sim_user_defaults.h"
#include "tests/defaults/test_support.h"

namespace pomrel::sim::testing {

std::string selfExecutable() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

}  // namespace pomrel::sim::testing

namespace {

[[noreturn]] void runWriter(const std::string& folder) {
  pomrel::sim::SimUserDefaults defaults(folder, "unused.application");
  for (std::int64_t generation = 1;; ++generation) {
    defaults.removePersistentDomainForName(pomrel::sim::testing::kWriterDomain);
    defaults.setPersistentDomain(pomrel::sim::testing::writerValue(generation),
                                 pomrel::sim::testing::kWriterDomain);
    if (!defaults.synchronize()) std::_Exit(3);
  }
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kWriterFlag = "--defaults-writer=";
  if (argc == 2 && std::strncmp(argv[1], kWriterFlag, std::strlen(kWriterFlag)) == 0) {
    runWriter(argv[1] + std::strlen(kWriterFlag));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

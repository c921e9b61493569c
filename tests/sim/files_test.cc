// Machine paths and file existence under the machine root.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_file_manager.h"
#include "sim_test_support.h"

namespace pomrel::sim {
namespace {

TEST(MachinePathsTest, ARelativeRootIsPinnedToTheCurrentFolder) {
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(MachinePaths("machine/").root(), cwd + "/machine");
  EXPECT_EQ(MachinePaths("/m//").resolve("/usr/sbin/diskutil"), "/m/usr/sbin/diskutil");
  EXPECT_EQ(MachinePaths("/m").registryDirectory(), "/m/registry");
}

TEST(SimFileManagerTest, ExistenceIsAskedUnderTheRootFollowingLinks) {
  test::TempRoot temp;
  SimFileManager files(temp.paths());
  const std::string root = temp.root();
  std::filesystem::create_directories(root + "/System/Library/Extensions/A.kext");
  std::ofstream(root + "/plain") << "x";
  std::filesystem::create_symlink(root + "/plain", root + "/link");
  std::filesystem::create_symlink(root + "/missing", root + "/dangling");

  EXPECT_TRUE(files.fileExistsAtPath("/System/Library/Extensions/A.kext"));
  EXPECT_TRUE(files.fileExistsAtPath("/plain"));
  EXPECT_TRUE(files.fileExistsAtPath("/link"));
  EXPECT_FALSE(files.fileExistsAtPath("/dangling"));
  EXPECT_FALSE(files.fileExistsAtPath("/missing"));
  EXPECT_FALSE(files.fileExistsAtPath(root + "/plain")) << "the host's own paths are not seen";
}

}  // namespace
}  // namespace pomrel::sim

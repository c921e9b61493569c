// Launch at login through the preferences window, on a temporary
// XDG_CONFIG_HOME whose autostart folder holds other programs' entries of odd
// shapes.
#include "platform/linux/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "app/app_controller.h"
#include "loginitems/zan_login_items.h"
#include "tests/fakes/fakes.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::host {
namespace {

namespace fs = std::filesystem;
using Folder = std::map<std::string, std::string>;

// Each file by name: its bytes, or where it links to.
Folder snapshot(const fs::path& folder) {
  Folder files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    files[name] = entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).string()
                                     : sim::test::contentsOf(entry.path());
  }
  return files;
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.root().empty());
    fs::create_directories(autostart_);
    const Folder foreign = {
        {"clock.desktop",
         "# a clock\n[Desktop Entry]\n  # indented comment\nName=Clock\nName[de]=Uhr\n"
         "Exec[de]=/usr/bin/uhr\nExec = /usr/bin/clock --tray\n[Desktop Action new]\n"
         "Exec=/bin/false\n"},
        {"quoted.desktop",
         "[Desktop Entry]\r\nType=Application\r\nExec=\"/opt/My App/run\" %U\r\n"},
        {"hidden.desktop", "[Desktop Entry]\nExec=/usr/bin/hidden\nHidden=true\n"},
        {"off.desktop", "[Desktop Entry]\nExec=/usr/bin/off\nX-GNOME-Autostart-enabled=false\n"},
        {"link.desktop", "[Desktop Entry]\nType=Link\nURL=file:///\n"},
        {"broken.desktop", "\xff\xfe not an entry\n=\n[Desktop"},
        {"notes.txt", "[Desktop Entry]\nExec=/usr/bin/notes\n"},
    };
    for (const auto& [name, bytes] : foreign) std::ofstream(autostart_ / name) << bytes;
    std::ofstream(temp_.root() + "/elsewhere.desktop") << "[Desktop Entry]\nExec=linked\n";
    fs::create_symlink(temp_.root() + "/elsewhere.desktop", autostart_ / "symlinked.desktop");
    fake_.processInfo.argv = {identity_.executablePath};
  }

  // Confirms the preferences window with the box ticked or not.
  void confirm(bool ticked) {
    AppController controller(platform_);
    controller.w0_LoginItem = &checkbox_;
    controller.w0_Window = &window_;
    controller.loadUserDefaults();
    controller.w0_OrderFront(nullptr);
    checkbox_.setState(ticked ? NSControlStateValueOn : NSControlStateValueOff);
    controller.w0_Ok(nullptr);
  }

  sim::test::TempRoot temp_;
  fs::path config_ = temp_.root() + "/config";
  fs::path autostart_ = config_ / "autostart";
  // A launcher path that needs every kind of quoting an Exec has.
  AutostartIdentity identity_{temp_.root() + "/Pomrel.app", temp_.root() + "/bin dir/po\"m`r$e%l\\",
                              temp_.root() + "/Pomrel.app/Contents/MacOS/Pomrel"};
  HostUserDefaultsFactory defaults_{config_.string(), "org.pomrel.test", identity_};
  fakes::FakePlatform fake_;
  Platform platform_{fake_.application, fake_.bundle,    fake_.statusBar,     fake_.registry,
                     fake_.runLoop,     fake_.processes, fake_.authorization, fake_.fileManager,
                     fake_.processInfo, defaults_,       fake_.clock};
  fakes::FakeButton checkbox_;
  fakes::FakeWindow window_;
};

TEST_F(AutostartTest, TheBoxAddsAndRemovesOnlyPomrelsEntriesAndLeavesEveryOtherFileAlone) {
  const Folder before = snapshot(autostart_);
  std::vector<std::string> listed;
  const ZanLoginItems items(defaults_, fake_.processInfo);
  for (const PropertyValue& entry : items.startupItems())
    listed.push_back(*entry.dictionary()->at("Path").string());
  EXPECT_EQ(listed, (std::vector<std::string>{"/usr/bin/clock", "/opt/My App/run", "linked"}));

  confirm(true);
  Folder after = snapshot(autostart_);
  ASSERT_EQ(after.count("pomrel.desktop"), 1U) << "no entry of ours";
  EXPECT_EQ(autostartProgram(after["pomrel.desktop"]), identity_.launcherPath);
  for (const char* shown : {"\nName=Pomrel\n", "\nComment[ja]=", "\nIcon=pomrel\n"})
    EXPECT_NE(after["pomrel.desktop"].find(shown), std::string::npos) << shown;
  after.erase("pomrel.desktop");
  EXPECT_EQ(after, before);
  EXPECT_TRUE(ZanLoginItems(defaults_, fake_.processInfo).isInStartupItems());
  EXPECT_FALSE(fs::exists(config_ / "pomrel/loginwindow.plist")) << "the list kept twice";
  EXPECT_TRUE(fs::exists(config_ / "pomrel/org.pomrel.test.plist")) << "the setting not kept";

  confirm(false);
  EXPECT_EQ(snapshot(autostart_), before);
  EXPECT_FALSE(ZanLoginItems(defaults_, fake_.processInfo).isInStartupItems());

  // An entry for Pomrel written by someone else counts as listed, and goes when the box is cleared.
  std::ofstream(autostart_ / "mine.desktop")
      << "[Desktop Entry]\nExec=" << identity_.executablePath << " --from-login\n";
  const Folder withTheirs = snapshot(autostart_);
  EXPECT_TRUE(ZanLoginItems(defaults_, fake_.processInfo).isInStartupItems());
  confirm(true);
  EXPECT_EQ(snapshot(autostart_), withTheirs) << "a second entry for Pomrel";
  confirm(false);
  EXPECT_EQ(snapshot(autostart_), before);
}

}  // namespace
}  // namespace pomrel::host

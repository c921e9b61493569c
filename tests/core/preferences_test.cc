// The launch-at-login setting, the preferences window and the login items
// store.
#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

constexpr const char* kThisApp = "/Applications/Pomrel.app";

PropertyValue entry(const std::string& path, bool hide = false) {
  return PropertyDictionary{{"Hide", hide}, {"Path", path}};
}

PropertyDictionary withList(PropertyArray list, PropertyDictionary others = {}) {
  others["AutoLaunchedApplicationDictionary"] = std::move(list);
  return others;
}

TEST_F(CoreTest, ThePreferencesWindowShowsTheSettingAndOkAppliesIt) {
  FakeButton checkbox;
  FakeWindow window;
  auto& domains = fake.userDefaults.store.domains;
  domains["loginwindow"] = withList({entry(kThisApp), entry("/Other.app", true)});
  app().w0_LoginItem = &checkbox;
  app().w0_Window = &window;
  app().loadUserDefaults();
  const auto setting = [&] { return fake.userDefaults.store.applicationDomain.at("AddLoginItem"); };

  checkbox.setState(NSControlStateValueOn);
  app().w0_OrderFront(nullptr);
  EXPECT_EQ(checkbox.state(), NSControlStateValueOff);  // a first run
  EXPECT_TRUE(window.centered && window.visible);
  app().w0_Ok(nullptr);
  EXPECT_FALSE(window.visible);
  EXPECT_EQ(setting(), PropertyValue(false));
  EXPECT_EQ(domains.at("loginwindow"), withList({entry("/Other.app", true)}));
  // Each OK brings the list as it is then in line, whatever other programs
  // did to it since: an entry they added goes, one they removed comes back.
  domains["loginwindow"] = withList({entry(kThisApp), entry("/Other.app", true)});
  app().w0_Ok(nullptr);
  EXPECT_EQ(domains.at("loginwindow"), withList({entry("/Other.app", true)}));

  app().w0_OrderFront(nullptr);
  checkbox.setState(NSControlStateValueMixed);  // counts as ticked
  app().w0_Ok(nullptr);
  EXPECT_EQ(setting(), PropertyValue(true));
  EXPECT_EQ(domains.at("loginwindow"), withList({entry(kThisApp), entry("/Other.app", true)}));
  domains["loginwindow"] = withList({entry("/Other.app", true)});
  app().w0_Ok(nullptr);
  EXPECT_EQ(domains.at("loginwindow"), withList({entry(kThisApp), entry("/Other.app", true)}));
  app().w0_OrderFront(nullptr);
  EXPECT_EQ(checkbox.state(), NSControlStateValueOn);
}

// The store on its own, over a defaults store that "another program" edits.
class LoginItemsTest : public ::testing::Test {
 protected:
  std::unique_ptr<ZanLoginItems> make() {
    return std::make_unique<ZanLoginItems>(defaults, process);
  }
  PropertyDictionary& domain() { return defaults.store.domains["loginwindow"]; }

  FakeUserDefaultsFactory defaults;
  FakeProcessInfo process;
};

TEST_F(LoginItemsTest, AdditionsGoFirstIntoTheDomainAsStoredNow) {
  const auto items = make();
  EXPECT_FALSE(items->isInStartupItems());
  items->addToStartupItems();
  EXPECT_EQ(defaults.store.domains.at("loginwindow"), withList({entry(kThisApp)}));

  // Another program changed the domain since: its change survives.
  domain() = withList({entry(kThisApp), entry("/A.app")}, {{"Added", true}});
  items->addApplicationToStartupItems("/B.app", true);
  EXPECT_EQ(domain(),
            withList({entry("/B.app", true), entry(kThisApp), entry("/A.app")}, {{"Added", true}}));
  items->addApplicationToStartupItems("/A.app", false);  // listed: nothing written
  EXPECT_EQ(defaults.store.synchronizations, 2);

  domain() = withList({entry(kThisApp), entry("/Third.app")});
  items->removeFromStartupItems();
  EXPECT_EQ(domain(), withList({entry("/Third.app")}));
}

TEST_F(LoginItemsTest, RemovalKeepsEverythingElseAsItWas) {
  PropertyArray list = {PropertyDictionary{{"Path", "/X.app"}, {"AliasData", PropertyData{0, 1}}},
                        entry(kThisApp), "a string",
                        PropertyDictionary{{"Path", PropertyInteger::fromSigned(1)}},
                        entry(kThisApp, true)};
  const PropertyDictionary others = {{"Other", PropertyDate{12.25}}};
  domain() = withList(list, others);
  const auto items = make();
  items->removeApplicationFromStartupItems("/Absent.app");
  EXPECT_EQ(domain(), withList(list, others));
  EXPECT_EQ(defaults.store.synchronizations, 1);

  items->removeFromStartupItems();  // only the first of the two entries goes
  list.erase(list.begin() + 1);
  EXPECT_EQ(domain(), withList(list, others));
}

TEST_F(LoginItemsTest, AListThatIsNotAnArrayIsReplacedOnlyByAnAddition) {
  const PropertyDictionary original = {{"AutoLaunchedApplicationDictionary", "not a list"},
                                       {"Kept", PropertyInteger::fromSigned(1)}};
  domain() = original;
  const auto items = make();
  EXPECT_FALSE(items->isInStartupItems());
  items->removeFromStartupItems();
  EXPECT_EQ(domain(), original);
  items->addToStartupItems();
  EXPECT_EQ(domain(), withList({entry(kThisApp)}, {{"Kept", PropertyInteger::fromSigned(1)}}));
}

TEST_F(LoginItemsTest, TheBundlePathIsAbsoluteAndTheEnclosingAppOrThePathItself) {
  const std::pair<const char*, const char*> bundles[] = {
      {"/A.app/Contents/Helpers/B.app/Contents/MacOS/B", "/A.app/Contents/Helpers/B.app"},
      {"/Applications/Tool.app", "/Applications/Tool.app"},
      {"/usr/local/bin/pomrel", "/usr/local/bin/pomrel"},
      {"/opt/x.apps/bin/pomrel", "/opt/x.apps/bin/pomrel"},
      {"x.apps/pomrel", "x.apps/pomrel"},
      {"/", "/"},
  };
  for (const auto& [path, bundle] : bundles) {
    EXPECT_EQ(ZanLoginItems::_extractAppPath(path), bundle);
  }
  // A first argument without a slash says nothing of where the executable
  // is: the system's record of it counts then.
  process.currentDirectory = "/Users/me/build";
  process.executable = "/opt/Pomrel.app/Contents/MacOS/Pomrel";
  const std::pair<Strings, const char*> executables[] = {
      {{"Pomrel.app/Contents/MacOS/Pomrel"}, "/Users/me/build/Pomrel.app"},
      {{"./out/../Pomrel.app/Contents/MacOS/Pomrel"}, "/Users/me/build/Pomrel.app"},
      {{"//Users/./me/../me//Pomrel.app/Contents/MacOS/Pomrel"}, "/Users/me/Pomrel.app"},
      {{"pomrel"}, "/opt/Pomrel.app"},
      {{""}, "/opt/Pomrel.app"},
      {{}, "/opt/Pomrel.app"},
  };
  for (const auto& [argv, expected] : executables) {
    process.argv = argv;
    EXPECT_EQ(make()->thisAppPath(), expected) << ::testing::PrintToString(argv);
  }

  // No path at all: no entry is looked for, added or removed.
  process.argv = {"pomrel"};
  process.executable.clear();
  const auto items = make();
  EXPECT_EQ(items->thisAppPath(), "");
  domain() = withList({entry("")});
  EXPECT_FALSE(items->isInStartupItems());
  items->removeFromStartupItems();
  domain() = withList({});
  items->addToStartupItems();
  EXPECT_EQ(defaults.store.synchronizations, 0);
  EXPECT_EQ(domain(), withList({}));
}

}  // namespace
}  // namespace pomrel::testing

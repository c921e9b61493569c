// The launch-at-login setting, the preferences window and the login items
// store.
#include <cstdint>
#include <limits>

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

class PreferencesTest : public CoreTest {
 protected:
  void connect() {
    app().w0_LoginItem = &checkbox;
    app().w0_Window = &window;
    app().loadUserDefaults();
  }
  // Opens the window, sets the checkbox to `state` and confirms.
  void confirm(int state) {
    app().w0_OrderFront(nullptr);
    checkbox.setState(state);
    app().w0_Ok(nullptr);
  }
  std::optional<PropertyValue> stored(const std::string& key) {
    const auto& domain = fake.userDefaults.store.applicationDomain;
    const auto found = domain.find(key);
    return found == domain.end() ? std::nullopt : std::optional(found->second);
  }
  PropertyDictionary& loginDomain() { return fake.userDefaults.store.domains["loginwindow"]; }

  FakeButton checkbox;
  FakeWindow window{&fake.log};
};

TEST_F(PreferencesTest, FirstRunOpensUntickedAndConfirmingStoresNo) {
  connect();
  checkbox.setState(NSControlStateValueOn);
  app().w0_OrderFront(&window);
  EXPECT_EQ(checkbox.state(), NSControlStateValueOff);
  expectInOrder({"activate", "window:center", "window:show"});
  EXPECT_TRUE(window.visible);
  EXPECT_EQ(window.lastSender, &window);

  app().w0_Ok(nullptr);
  EXPECT_FALSE(window.visible);
  EXPECT_EQ(stored("AddLoginItem"), PropertyValue(false));
  EXPECT_EQ(fake.userDefaults.store.domains.count("loginwindow"), 0U);
}

TEST_F(PreferencesTest, FirstRunRemovesAnEntryListedFromBefore) {
  loginDomain() = withList({entry(kThisApp)});
  connect();
  confirm(NSControlStateValueOff);
  EXPECT_EQ(loginDomain(), withList({}));
}

TEST_F(PreferencesTest, TickingAddsTheBundleFirstAndUntickingRemovesIt) {
  loginDomain() = withList({entry("/Applications/Other.app", true)});
  connect();
  confirm(NSControlStateValueOn);
  EXPECT_EQ(loginDomain(), withList({entry(kThisApp), entry("/Applications/Other.app", true)}));
  EXPECT_EQ(stored("AddLoginItem"), PropertyValue(true));
  app().w0_OrderFront(nullptr);
  EXPECT_EQ(checkbox.state(), NSControlStateValueOn);

  confirm(NSControlStateValueOff);
  EXPECT_EQ(loginDomain(), withList({entry("/Applications/Other.app", true)}));
  EXPECT_EQ(stored("AddLoginItem"), PropertyValue(false));

  confirm(NSControlStateValueMixed);
  EXPECT_TRUE(app().isAddLoginItem());
  EXPECT_EQ(loginDomain(), withList({entry(kThisApp), entry("/Applications/Other.app", true)}));
}

TEST_F(PreferencesTest, CancelWritesNothing) {
  connect();
  app().w0_OrderFront(nullptr);
  checkbox.setState(NSControlStateValueOn);
  app().w0_Cancel(nullptr);
  EXPECT_FALSE(window.visible);
  EXPECT_FALSE(app().isAddLoginItem());
  EXPECT_EQ(fake.userDefaults.store.synchronizations, 0);
  app().w0_OrderFront(nullptr);
  EXPECT_EQ(checkbox.state(), NSControlStateValueOff);
}

// The store on its own, over a defaults store that "another program" edits.
class LoginItemsTest : public ::testing::Test {
 protected:
  std::unique_ptr<ZanLoginItems> make() {
    return std::make_unique<ZanLoginItems>(defaults, process);
  }
  PropertyDictionary& domain() { return defaults.store.domains["loginwindow"]; }

  EventLog log;
  FakeUserDefaultsFactory defaults{&log};
  FakeProcessInfo process;
};

TEST_F(LoginItemsTest, WithoutDomainTheFirstAdditionCreatesIt) {
  const auto items = make();
  EXPECT_FALSE(items->isInStartupItems());
  items->addToStartupItems();
  EXPECT_EQ(defaults.store.domains.at("loginwindow"), withList({entry(kThisApp)}));
}

TEST_F(LoginItemsTest, AdditionsGoFirstAndAListedPathIsNotWrittenAgain) {
  domain() = withList({entry("/A.app")});
  const auto items = make();
  items->addApplicationToStartupItems("/B.app", true);
  EXPECT_EQ(domain(), withList({entry("/B.app", true), entry("/A.app")}));
  EXPECT_EQ(log.events(),
            (std::vector<std::string>{"defaults:remove:loginwindow", "defaults:set:loginwindow",
                                      "defaults:synchronize"}));
  items->addApplicationToStartupItems("/A.app", false);
  EXPECT_EQ(defaults.store.synchronizations, 1);
}

TEST_F(LoginItemsTest, RemovalKeepsEverythingElseAsItWas) {
  const PropertyValue foreign = PropertyDictionary{
      {"Path", "/X.app"},
      {"AliasData", PropertyData{0, 1, 2}},
      {"Nested", PropertyDictionary{{"n", PropertyInteger::fromUnsigned(
                                              std::numeric_limits<std::uint64_t>::max())}}}};
  PropertyArray list = {foreign,
                        entry(kThisApp),
                        "a string",
                        PropertyInteger::fromSigned(-5),
                        PropertyDictionary{{"Path", PropertyInteger::fromSigned(1)}},
                        entry(kThisApp, true)};
  const PropertyDictionary others = {{"Other", PropertyDate{12.25}}, {"Real", 2.5}};
  domain() = withList(list, others);
  const auto items = make();

  items->removeApplicationFromStartupItems("/Absent.app");
  EXPECT_EQ(domain(), withList(list, others));
  EXPECT_EQ(defaults.store.synchronizations, 1);

  // Only the first of the two entries goes; entries of other types stay.
  items->removeFromStartupItems();
  list.erase(list.begin() + 1);
  EXPECT_EQ(domain(), withList(list, others));
}

TEST_F(LoginItemsTest, ChangesByAnotherProgramSurvive) {
  const auto items = make();
  domain() = withList({entry("/Other.app")}, {{"Added", true}});
  items->addToStartupItems();
  EXPECT_EQ(domain(), withList({entry(kThisApp), entry("/Other.app")}, {{"Added", true}}));

  domain() = withList({entry(kThisApp), entry("/Other.app"), entry("/Third.app")});
  items->removeFromStartupItems();
  EXPECT_EQ(domain(), withList({entry("/Other.app"), entry("/Third.app")}));
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

TEST(ExtractAppPath, FindsTheEnclosingBundleOrLeavesThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Applications/Tool.app/Contents/MacOS/Tool", "/Applications/Tool.app"},
      {"/Applications/Tool.app", "/Applications/Tool.app"},
      {"/A.app/Contents/Helpers/B.app/Contents/MacOS/B", "/A.app/Contents/Helpers/B.app"},
      {"/usr/local/bin/pomrel", "/usr/local/bin/pomrel"},
      {"/opt/x.apps/bin/pomrel", "/opt/x.apps/bin/pomrel"},
      {"/Volumes/My.application/pomrel", "/Volumes/My.application/pomrel"},
      {"x.apps/pomrel", "x.apps/pomrel"},
      {"/", "/"},
  };
  for (const auto& [path, bundle] : cases) EXPECT_EQ(ZanLoginItems::_extractAppPath(path), bundle);
}

TEST_F(LoginItemsTest, ARelativeExecutableBecomesAnAbsolutePath) {
  process.currentDirectory = "/Users/me/build";
  const std::pair<const char*, const char*> cases[] = {
      {"Pomrel.app/Contents/MacOS/Pomrel", "/Users/me/build/Pomrel.app"},
      {"./out/../Pomrel.app/Contents/MacOS/Pomrel", "/Users/me/build/Pomrel.app"},
      {"pomrel", "/Users/me/build/pomrel"},
      {"/usr/local/bin/pomrel", "/usr/local/bin/pomrel"},
  };
  for (const auto& [executable, expected] : cases) {
    process.argv = {executable};
    EXPECT_EQ(make()->thisAppPath(), expected) << executable;
  }
}

}  // namespace
}  // namespace pomrel::testing

// The login items store. (The preferences window that drives it is the Qt
// suite's.)
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

TEST_F(LoginItemsTest, ChangesGoIntoTheDomainAsStoredNowKeepingEverythingElse) {
  // Another program changed the domain since the store was made: its change
  // survives, and a new entry goes first.
  const auto items = make();
  domain() = withList({entry(kThisApp), entry("/A.app")}, {{"Added", true}});
  items->addApplicationToStartupItems("/B.app", true);
  EXPECT_EQ(domain(),
            withList({entry("/B.app", true), entry(kThisApp), entry("/A.app")}, {{"Added", true}}));
  items->addApplicationToStartupItems("/A.app", false);  // listed: nothing written
  EXPECT_EQ(defaults.store.synchronizations, 1);

  // Only the first of two entries goes; entries of other shapes stay.
  PropertyArray list = {PropertyDictionary{{"Path", "/X.app"}, {"AliasData", PropertyData{0, 1}}},
                        entry(kThisApp), "a string",
                        PropertyDictionary{{"Path", PropertyInteger::fromSigned(1)}},
                        entry(kThisApp, true)};
  domain() = withList(list, {{"Other", PropertyDate{12.25}}});
  items->removeFromStartupItems();
  list.erase(list.begin() + 1);
  EXPECT_EQ(domain(), withList(list, {{"Other", PropertyDate{12.25}}}));

  // A list that is not an array is replaced only by an addition.
  const PropertyDictionary original = {{"AutoLaunchedApplicationDictionary", "not a list"}};
  domain() = original;
  EXPECT_FALSE(items->isInStartupItems());
  items->removeFromStartupItems();
  EXPECT_EQ(domain(), original);
  items->addToStartupItems();
  EXPECT_EQ(domain(), withList({entry(kThisApp)}));
}

TEST_F(LoginItemsTest, TheBundlePathIsAbsoluteAndTheEnclosingAppOrThePathItself) {
  // A first argument without a slash says nothing of where the executable
  // is: the system's record of it counts then.
  process.currentDirectory = "/Users/me/build";
  process.executable = "/opt/Pomrel.app/Contents/MacOS/Pomrel";
  const std::pair<Strings, const char*> executables[] = {
      {{"/A.app/Contents/Helpers/B.app/Contents/MacOS/B"}, "/A.app/Contents/Helpers/B.app"},
      {{"/usr/local/bin/pomrel"}, "/usr/local/bin/pomrel"},
      {{"/opt/x.apps/bin/pomrel"}, "/opt/x.apps/bin/pomrel"},
      {{"./out/../Pomrel.app/Contents/MacOS/Pomrel"}, "/Users/me/build/Pomrel.app"},
      {{"//Users/./me/../me//Pomrel.app/Contents/MacOS/Pomrel"}, "/Users/me/Pomrel.app"},
      {{"pomrel"}, "/opt/Pomrel.app"},
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
  domain() = withList({entry("")});
  EXPECT_FALSE(items->isInStartupItems());
  items->removeFromStartupItems();
  domain() = withList({});
  items->addToStartupItems();
  EXPECT_EQ(defaults.store.synchronizations, 0);
}

}  // namespace
}  // namespace pomrel::testing

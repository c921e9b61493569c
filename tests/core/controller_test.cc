// The status item, the status menu's validation and the card lookup.
#include <algorithm>
#include <array>

#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

std::string repeated(std::string_view text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

TEST_F(CoreTest, MediaItemsFollowTheCardAtEveryOpening) {
  FakeMenu menu;
  FakeMenuItem& disable = menu.addItem("disableMedia:");
  FakeMenuItem& enable = menu.addItem("enableMedia:");
  FakeMenuItem& preferences = menu.addItem("w0_OrderFront:");

  menu.open(app());
  EXPECT_FALSE(disable.isEnabled());
  EXPECT_TRUE(enable.isEnabled());
  insertCard();
  menu.open(app());
  EXPECT_TRUE(disable.isEnabled());
  EXPECT_FALSE(enable.isEnabled());
  pullCard();
  menu.open(app());
  EXPECT_FALSE(disable.isEnabled());
  EXPECT_TRUE(enable.isEnabled());
  EXPECT_TRUE(preferences.isEnabled());

  // Only the exact action names count; everything else is always enabled.
  for (bool card : {false, true}) {
    if (card) insertCard();
    for (const char* action : {"", "w0_Ok:", "disableMedia", "enableMedia",
                               "DisableMedia:", "enableMedia:x", "terminate:"}) {
      EXPECT_TRUE(app().validateMenuItem(FakeMenuItem(action, true))) << action << card;
    }
  }
}

TEST_F(CoreTest, LaunchShowsASquareImageOnlyItemAndArmsTheWatch) {
  fake.bundle.images.insert("Pomrel16mono");
  fake.userDefaults.store.applicationDomain["AddLoginItem"] = true;
  insertCard();
  FakeMenu menu;
  app().m0_StatusBar = &menu;
  app().applicationDidFinishLaunching(nullptr);

  ASSERT_EQ(fake.statusBar.items.size(), 1U);
  const std::shared_ptr<FakeStatusItem> item = fake.statusBar.items[0].lock();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->length(), -2.0);
  EXPECT_EQ(item->title, "");
  ASSERT_NE(item->image, nullptr);
  EXPECT_EQ(item->image->name(), "Pomrel16mono");
  EXPECT_TRUE(item->highlightMode);
  EXPECT_EQ(item->menu, &menu);
  EXPECT_TRUE(app().isAddLoginItem());
  EXPECT_NE(g_NotifyPort, nullptr);
  // The login list is not touched at launch.
  EXPECT_EQ(fake.userDefaults.store.synchronizations, 0);

  app().applicationWillTerminate(nullptr);
  EXPECT_NE(g_NotifyPort, nullptr);
  destroyController();
  EXPECT_EQ(fake.statusBar.liveItems(), 1U);  // only `item` holds it now
}

TEST_F(CoreTest, CardLookupFillsTheBufferOnlyWhenTheCardIsThere) {
  std::array<char, kBSDNameBufferSize> buffer;
  buffer.fill('\x5A');
  const auto untouched = [&] {
    return std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == '\x5A'; });
  };
  EXPECT_FALSE(app().getSxSDisk(buffer.data()));
  EXPECT_FALSE(app().getSxSDisk(nullptr));
  EXPECT_TRUE(untouched());

  insertCard("disk2");
  EXPECT_TRUE(app().getSxSDisk(nullptr));
  ASSERT_TRUE(app().getSxSDisk(buffer.data()));
  EXPECT_EQ(std::string_view(buffer.data(), 5), "disk2");
  EXPECT_TRUE(std::all_of(buffer.begin() + 5, buffer.end(), [](char c) { return c == '\0'; }));

  fake.registry.failProperties = true;
  buffer.fill('\x5A');
  EXPECT_FALSE(app().getSxSDisk(buffer.data()));
  EXPECT_TRUE(untouched());
  fake.registry.failProperties = false;
  fake.registry.failNameMatching = true;
  EXPECT_FALSE(app().getSxSDisk(nullptr));
}

TEST_F(CoreTest, CardLookupTakesOnlyStringNamesThatFit) {
  struct Case {
    const char* what;
    PropertyDictionary properties;
    bool found;
  };
  const Case cases[] = {
      {"255 bytes", {{kSxSBSDNameKey, std::string(255, 'd')}}, true},
      {"85 three-byte characters", {{kSxSBSDNameKey, repeated("\u20AC", 85)}}, true},
      {"86 three-byte characters", {{kSxSBSDNameKey, repeated("\u20AC", 86)}}, false},
      {"256 bytes", {{kSxSBSDNameKey, std::string(256, 'd')}}, false},
      {"an integer", {{kSxSBSDNameKey, PropertyInteger::fromSigned(2)}}, false},
      {"no name", {{"BSD Major", PropertyInteger::fromSigned(1)}}, false},
  };
  for (const Case& c : cases) {
    const std::uint64_t id = fake.registry.publish(kSxSMediaServiceName, c.properties);
    std::array<char, kBSDNameBufferSize> buffer;
    buffer.fill('\x5A');
    EXPECT_EQ(app().getSxSDisk(buffer.data()), c.found) << c.what;
    if (c.found) {
      EXPECT_EQ(std::string(buffer.data()), *c.properties.at(kSxSBSDNameKey).string()) << c.what;
    } else {
      EXPECT_EQ(buffer[0], '\x5A') << c.what;
    }
    fake.registry.terminate(id);
  }
}

TEST_F(CoreTest, OnlyTheFirstMatchingServiceCounts) {
  std::array<char, kBSDNameBufferSize> buffer{};
  const std::uint64_t first = insertCard("disk2");
  insertCard("disk3");
  ASSERT_TRUE(app().getSxSDisk(buffer.data()));
  EXPECT_STREQ(buffer.data(), "disk2");
  fake.registry.terminate(first);
  ASSERT_TRUE(app().getSxSDisk(buffer.data()));
  EXPECT_STREQ(buffer.data(), "disk3");

  // A first match without a usable name is not made up for by a later one.
  pullCard();
  fake.registry.publish(kSxSMediaServiceName, {});
  insertCard("disk4");
  EXPECT_FALSE(app().getSxSDisk(buffer.data()));
}

}  // namespace
}  // namespace pomrel::testing

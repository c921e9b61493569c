// The status item, the status menu's validation and the card lookup.
#include <algorithm>
#include <array>

#include "tests/core/core_fixture.h"

namespace pomrel::testing {
namespace {

TEST_F(CoreTest, MediaItemsFollowTheCardAtEveryValidation) {
  const auto states = [this] {
    return std::pair(app().validateMenuItem(FakeMenuItem("disableMedia:")),
                     app().validateMenuItem(FakeMenuItem("enableMedia:")));
  };
  EXPECT_EQ(states(), std::pair(false, true));
  insertCard();
  EXPECT_EQ(states(), std::pair(true, false));
  pullCard();
  EXPECT_EQ(states(), std::pair(false, true));

  // Only the exact action names count; every other item is enabled.
  for (bool card : {false, true}) {
    if (card) insertCard();
    for (const char* action :
         {"w0_OrderFront:", "disableMedia", "DisableMedia:", "enableMedia:x", "terminate:"}) {
      EXPECT_TRUE(app().validateMenuItem(FakeMenuItem(action))) << action << card;
    }
  }
}

TEST_F(CoreTest, LaunchShowsASquareImageOnlyItemReadsTheSettingAndArmsTheWatch) {
  fake.userDefaults.store.applicationDomain["AddLoginItem"] = true;
  insertCard();
  Menu menu;
  app().m0_StatusBar = &menu;
  app().applicationDidFinishLaunching(nullptr);

  ASSERT_EQ(fake.statusBar.items.size(), 1U);
  std::shared_ptr<FakeStatusItem> item = fake.statusBar.items[0].lock();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->length(), -2.0);
  EXPECT_EQ(item->title, "");
  ASSERT_NE(item->image, nullptr);
  EXPECT_EQ(item->image->name(), "Pomrel16mono");
  EXPECT_TRUE(item->highlightMode);
  EXPECT_EQ(item->menu, &menu);
  EXPECT_TRUE(app().isAddLoginItem());
  EXPECT_NE(g_NotifyPort, nullptr);
  EXPECT_EQ(fake.userDefaults.store.synchronizations, 0);  // the login list is left alone

  item.reset();
  destroyController();
  EXPECT_TRUE(fake.statusBar.items[0].expired());
}

TEST_F(CoreTest, CardLookupAnswersForAStringNameThatFitsInTheFirstMatchOnly) {
  std::array<char, kBSDNameBufferSize> buffer;
  buffer.fill('Z');
  const auto untouched = [&] {
    return std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == 'Z'; });
  };
  EXPECT_FALSE(app().getSxSDisk(buffer.data()));
  EXPECT_FALSE(app().getSxSDisk(nullptr));
  insertCard();
  fake.registry.failProperties = true;
  EXPECT_FALSE(app().getSxSDisk(buffer.data()));
  EXPECT_TRUE(untouched());
  fake.registry.failProperties = false;
  pullCard();

  const std::tuple<const char*, PropertyDictionary, bool> cases[] = {
      {"disk2", {{kSxSBSDNameKey, "disk2"}}, true},
      {"255 bytes", {{kSxSBSDNameKey, std::string(255, 'd')}}, true},
      {"256 bytes", {{kSxSBSDNameKey, std::string(256, 'd')}}, false},
      {"an integer", {{kSxSBSDNameKey, PropertyInteger::fromSigned(2)}}, false},
      {"no name", {{"BSD Major", PropertyInteger::fromSigned(1)}}, false},
  };
  for (const auto& [what, properties, found] : cases) {
    const std::uint64_t first = fake.registry.publish(kSxSMediaServiceName, properties);
    insertCard("disk3");  // a later match never stands in for the first
    buffer.fill('Z');
    EXPECT_EQ(app().getSxSDisk(nullptr), found) << what;
    EXPECT_EQ(app().getSxSDisk(buffer.data()), found) << what;
    if (found) {
      // The name, its NUL and zeros: never stale bytes.
      const std::string& name = *properties.at(kSxSBSDNameKey).string();
      EXPECT_EQ(buffer.data(), name);
      EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(name.size()),
                              buffer.end(), [](char c) { return c == '\0'; }));
    } else {
      EXPECT_TRUE(untouched()) << what;
    }
    fake.registry.terminate(first);
    ASSERT_TRUE(app().getSxSDisk(buffer.data()));
    EXPECT_STREQ(buffer.data(), "disk3");
    pullCard();
  }
}

}  // namespace
}  // namespace pomrel::testing

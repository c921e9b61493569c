// The status item: its menu opened by clicks, and its icon highlighted while
// the menu is open in highlight mode.
#include <gtest/gtest.h>

#include <QMenu>
#include <sstream>

#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

std::shared_ptr<QtImage> statusImage() {
  QtBundle bundle(kBundleResources, {"en"});
  EXPECT_EQ(bundle.imageNamed("NoSuchImage"), nullptr);
  return std::dynamic_pointer_cast<QtImage>(bundle.imageNamed("Pomrel16mono"));
}

TEST(QtStatusItemTest, ClicksOpenTheMenuWithTheIconHighlightedInHighlightMode) {
  std::ostringstream diagnostics;
  QtStatusBar bar(diagnostics);
  QtRunLoop loop;
  QMenu qmenu;
  qmenu.addAction(QStringLiteral("item"));
  QtMenu menu(&qmenu, &loop);
  auto item = std::dynamic_pointer_cast<QtStatusItem>(bar.statusItemWithLength(-2.0));
  ASSERT_NE(item, nullptr);
  item->setImage(statusImage());
  item->setMenu(&menu);
  item->setHighlightMode(true);
  const auto highlighted = [&] {
    return item->trayIcon().icon().pixmap(QSize(16, 16)).toImage().pixelColor(1, 8).alpha() == 255;
  };

  emit item->trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(qmenu.isVisible() && highlighted());
  qmenu.hide();
  EXPECT_FALSE(highlighted());
  emit qmenu.aboutToShow();  // a status notifier host draws the menu, and its highlight
  EXPECT_FALSE(highlighted());
  item->setHighlightMode(false);
  emit item->trayIcon().activated(QSystemTrayIcon::Context);
  EXPECT_TRUE(qmenu.isVisible());
  EXPECT_FALSE(highlighted()) << "highlighted without highlight mode";
  qmenu.hide();
  emit item->trayIcon().activated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(qmenu.isVisible());
}

}  // namespace
}  // namespace pomrel::qt::testing

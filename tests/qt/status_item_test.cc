// The status item: its icon, the bundle's image in the panel's colours at
// both sizes, and its menu opened by clicks.
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

// The colour of the most opaque pixel of `icon` drawn at `size`.
QColor inkOf(const QIcon& icon, int size = 16) {
  const QImage image = icon.pixmap(QSize(size, size)).toImage();
  QColor best(Qt::transparent);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y).alpha() > best.alpha()) best = image.pixelColor(x, y);
    }
  }
  return best;
}

TEST(QtStatusItemTest, TheIconIsTheImageInThePanelColoursAtBothSizes) {
  const auto image = statusImage();
  ASSERT_TRUE(image != nullptr && image->doubled().size() == QSize(32, 32));
  QPalette palette;
  palette.setColor(QPalette::WindowText, QColor(10, 20, 30));
  palette.setColor(QPalette::Highlight, QColor(0, 90, 200));
  palette.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
  for (int size : {16, 32}) {
    const QIcon icon = QtStatusItem::tintedIcon(*image, palette, false);
    EXPECT_EQ(icon.pixmap(QSize(size, size)).size(), QSize(size, size));
    EXPECT_EQ(inkOf(icon, size).rgb(), QColor(10, 20, 30).rgb()) << size;
  }
  const QImage highlighted =
      QtStatusItem::tintedIcon(*image, palette, true).pixmap(QSize(16, 16)).toImage();
  EXPECT_EQ(highlighted.pixelColor(1, 8).rgb(), QColor(0, 90, 200).rgb()) << "background";
  EXPECT_EQ(highlighted.pixelColor(8, 11).rgb(), QColor(255, 255, 255).rgb()) << "eject bar";
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

  // A palette change (a switch to a dark panel) re-tints the icon.
  const QPalette original = QApplication::palette();
  QPalette changed = original;
  changed.setColor(QPalette::WindowText, QColor(200, 0, 0));
  QApplication::setPalette(changed);
  QEvent announce(QEvent::ApplicationPaletteChange);  // Qt sends it only from its loop
  QCoreApplication::sendEvent(qApp, &announce);
  EXPECT_EQ(inkOf(item->trayIcon().icon()).rgb(), QColor(200, 0, 0).rgb());
  QApplication::setPalette(original);
  item->setImage(nullptr);  // an empty square, still there to be clicked
  EXPECT_TRUE(!item->trayIcon().icon().isNull() && inkOf(item->trayIcon().icon()).alpha() == 0);
}

}  // namespace
}  // namespace pomrel::qt::testing

// The status item: its icon tinted in the panel's colours, and its menu
// opened by clicks.
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
  return std::dynamic_pointer_cast<QtImage>(bundle.imageNamed("Pomrel16mono"));
}

QImage iconImage(const QIcon& icon, int size) {
  return icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The colour of the most opaque pixel of `image`.
QColor inkOf(const QImage& image) {
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
  ASSERT_NE(image, nullptr);
  for (const QColor ink : {QColor(10, 20, 30), QColor(240, 230, 220)}) {
    QPalette palette;
    palette.setColor(QPalette::WindowText, ink);
    const QIcon icon = QtStatusItem::tintedIcon(*image, palette, false);
    for (int size : {16, 32}) {
      const QImage tinted = iconImage(icon, size);
      ASSERT_EQ(tinted.size(), QSize(size, size));
      EXPECT_EQ(inkOf(tinted).rgb(), ink.rgb()) << size;
      // The drawing is kept: coverage follows the image's alpha.
      const QImage& source = size == 16 ? image->normal() : image->doubled();
      for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
          ASSERT_NEAR(tinted.pixelColor(x, y).alpha(), source.pixelColor(x, y).alpha(), 1)
              << size << " px at " << x << "," << y;
        }
      }
    }
  }
  QPalette palette;
  palette.setColor(QPalette::Highlight, QColor(0, 90, 200));
  palette.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
  const QImage highlighted = iconImage(QtStatusItem::tintedIcon(*image, palette, true), 16);
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
    return iconImage(item->trayIcon().icon(), 16).pixelColor(1, 8).alpha() == 255;
  };

  emit item->trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(qmenu.isVisible());
  EXPECT_TRUE(highlighted());
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

  item->setTitle("Pomrel");
  EXPECT_EQ(item->trayIcon().toolTip(), "Pomrel");
  item->setImage(nullptr);  // an empty square, still there to be clicked
  EXPECT_FALSE(item->trayIcon().icon().isNull());
  EXPECT_EQ(inkOf(iconImage(item->trayIcon().icon(), 16)).alpha(), 0);

  // A palette change (a switch to a dark panel) re-tints the icon.
  const QPalette original = QApplication::palette();
  QPalette changed = original;
  changed.setColor(QPalette::WindowText, QColor(200, 0, 0));
  item->setImage(statusImage());
  QApplication::setPalette(changed);
  QEvent announce(QEvent::ApplicationPaletteChange);  // Qt sends it only from its loop
  QCoreApplication::sendEvent(qApp, &announce);
  EXPECT_EQ(inkOf(iconImage(item->trayIcon().icon(), 16)).rgb(), QColor(200, 0, 0).rgb());
  QApplication::setPalette(original);
}

}  // namespace
}  // namespace pomrel::qt::testing

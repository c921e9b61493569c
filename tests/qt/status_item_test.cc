// The status item: its tinted icon, its menu opened by clicks and validated
// each time, highlighting, and the notice when the desktop has no tray.
#include <gtest/gtest.h>

#include <QMenu>
#include <sstream>

#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

// Counts validations and answers `answer`.
class CountingValidator final : public MenuValidator {
 public:
  bool validateMenuItem(const MenuItem& /*item*/) override {
    ++calls;
    return answer;
  }
  int calls = 0;
  bool answer = false;
};

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
      const QColor c = image.pixelColor(x, y);
      if (c.alpha() > best.alpha()) best = c;
    }
  }
  return best;
}

TEST(QtStatusItemTest, TheIconIsTheImageInThePanelTextColourAtBothSizes) {
  const auto image = statusImage();
  ASSERT_NE(image, nullptr);
  QPalette light;
  light.setColor(QPalette::WindowText, QColor(10, 20, 30));
  QPalette dark;
  dark.setColor(QPalette::WindowText, QColor(240, 230, 220));

  const QIcon onLight = QtStatusItem::tintedIcon(*image, light, false);
  const QIcon onDark = QtStatusItem::tintedIcon(*image, dark, false);
  EXPECT_TRUE(onLight.availableSizes().contains(QSize(16, 16)));
  EXPECT_TRUE(onLight.availableSizes().contains(QSize(32, 32)));

  for (int size : {16, 32}) {
    const QImage l = iconImage(onLight, size);
    const QImage d = iconImage(onDark, size);
    ASSERT_EQ(l.size(), QSize(size, size));
    EXPECT_EQ(inkOf(l).rgb(), QColor(10, 20, 30).rgb()) << size;
    EXPECT_EQ(inkOf(d).rgb(), QColor(240, 230, 220).rgb()) << size;
    // The drawing itself is kept: coverage follows the image's alpha.
    const QImage& source = size == 16 ? image->normal() : image->doubled();
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        ASSERT_NEAR(l.pixelColor(x, y).alpha(), source.pixelColor(x, y).alpha(), 1)
            << size << " px at " << x << "," << y;
      }
    }
  }
}

TEST(QtStatusItemTest, AHighlightedIconSitsOnTheHighlightColour) {
  const auto image = statusImage();
  ASSERT_NE(image, nullptr);
  QPalette palette;
  palette.setColor(QPalette::Highlight, QColor(0, 90, 200));
  palette.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
  const QImage icon = iconImage(QtStatusItem::tintedIcon(*image, palette, true), 16);
  // Left of the card: background only.
  EXPECT_EQ(icon.pixelColor(1, 8).rgb(), QColor(0, 90, 200).rgb());
  // The eject bar: the glyph in the highlighted text colour.
  EXPECT_EQ(icon.pixelColor(8, 11).rgb(), QColor(255, 255, 255).rgb());
}

class StatusItemMenuTest : public ::testing::Test {
 protected:
  StatusItemMenuTest() {
    qmenu.addAction(QStringLiteral("validated"))->setProperty("action", "disableMedia:");
    menu = std::make_unique<QtMenu>(&qmenu, &loop);
    menu->items().front()->setValidated(true);
    menu->setValidator(&validator);
  }
  ~StatusItemMenuTest() override { qmenu.hide(); }

  std::ostringstream diagnostics;
  QtStatusBar bar{diagnostics};
  QtRunLoop loop;
  QMenu qmenu;
  std::unique_ptr<QtMenu> menu;  // made once the menu has its item
  CountingValidator validator;
};

TEST_F(StatusItemMenuTest, LeftAndRightClicksOpenTheMenuValidatedAfresh) {
  auto item = std::dynamic_pointer_cast<QtStatusItem>(bar.statusItemWithLength(-2.0));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->length(), -2.0);
  item->setMenu(menu.get());
  EXPECT_EQ(item->menu(), &qmenu);

  emit item->trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(qmenu.isVisible());
  EXPECT_EQ(validator.calls, 1);
  EXPECT_FALSE(qmenu.actions().front()->isEnabled());
  qmenu.hide();

  validator.answer = true;
  emit item->trayIcon().activated(QSystemTrayIcon::Context);
  EXPECT_TRUE(qmenu.isVisible());
  EXPECT_EQ(validator.calls, 2);
  EXPECT_TRUE(qmenu.actions().front()->isEnabled());
  qmenu.hide();

  emit item->trayIcon().activated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(qmenu.isVisible());
  EXPECT_EQ(validator.calls, 2);
}

TEST_F(StatusItemMenuTest, HighlightModeHighlightsTheIconWhileTheMenuIsOpen) {
  auto item = std::dynamic_pointer_cast<QtStatusItem>(bar.statusItemWithLength(-2.0));
  ASSERT_NE(item, nullptr);
  item->setImage(statusImage());
  item->setMenu(menu.get());
  const auto cornerAlpha = [&] {
    return iconImage(item->trayIcon().icon(), 16).pixelColor(1, 8).alpha();
  };

  emit item->trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(cornerAlpha(), 0) << "highlighted without highlight mode";
  qmenu.hide();

  item->setHighlightMode(true);
  EXPECT_TRUE(item->highlightMode());
  emit item->trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(cornerAlpha(), 255);
  qmenu.hide();
  EXPECT_EQ(cornerAlpha(), 0);
}

TEST_F(StatusItemMenuTest, TitleImageAndPaletteChanges) {
  auto item = std::dynamic_pointer_cast<QtStatusItem>(bar.statusItemWithLength(-2.0));
  ASSERT_NE(item, nullptr);
  item->setTitle("");
  EXPECT_TRUE(item->trayIcon().toolTip().isEmpty());
  item->setTitle("Pomrel");
  EXPECT_EQ(item->trayIcon().toolTip(), "Pomrel");

  item->setImage(nullptr);  // an empty square, still there to be clicked
  EXPECT_FALSE(item->trayIcon().icon().isNull());
  EXPECT_EQ(inkOf(iconImage(item->trayIcon().icon(), 16)).alpha(), 0);

  const QPalette original = QApplication::palette();
  QPalette changed = original;
  changed.setColor(QPalette::WindowText, QColor(200, 0, 0));
  item->setImage(statusImage());
  QApplication::setPalette(changed);
  // Qt announces the change to the application only while its loop runs.
  QEvent announce(QEvent::ApplicationPaletteChange);
  QCoreApplication::sendEvent(qApp, &announce);
  EXPECT_EQ(inkOf(iconImage(item->trayIcon().icon(), 16)).rgb(), QColor(200, 0, 0).rgb());
  QApplication::setPalette(original);
}

TEST(QtStatusBarTest, WithoutATraySaysSoOnceAndKeepsItsItems) {
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "this desktop has a tray";
  std::ostringstream diagnostics;
  QtStatusBar bar(diagnostics);
  auto first = bar.statusItemWithLength(-2.0);
  auto second = bar.statusItemWithLength(-2.0);
  first.reset();
  auto third = bar.statusItemWithLength(-2.0);

  const std::string said = diagnostics.str();
  EXPECT_NE(said.find("no system tray"), std::string::npos) << said;
  EXPECT_EQ(said.find("no system tray"), said.rfind("no system tray")) << said;
  EXPECT_TRUE(std::dynamic_pointer_cast<QtStatusItem>(second)->trayIcon().isVisible());
}

}  // namespace
}  // namespace pomrel::qt::testing

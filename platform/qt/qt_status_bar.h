// The system status bar over the desktop's system tray.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstdio>
#include <functional>
#include <memory>

#include "platform/qt/status_area.h"
#include "platform/status_bar.h"

class QMenu;

namespace pomrel::qt {

class QtImage;
class QtStatusBar;
class StatusAreaAlert;

// A status item as a tray icon. It shows the image tinted to the panel's
// text colour (so that one monochrome image reads on light and dark panels,
// and follows a change of the desktop's palette); its title, when not empty,
// is the icon's tool tip. The item shows from its creation (where only a
// status notifier host can show it, from when one appears); without an image
// it is an empty square that still opens its menu.
//
// In an XEmbed tray, a left or right click opens the menu's own window next
// to the icon. A status notifier host is given the menu over D-Bus, with the
// item marked as being its menu, and draws it itself for both clicks; a host
// that sends a click instead gets the menu's own window at the pointer (kept
// inside the screen) on X11, and nothing on Wayland, where such a window
// could not be by the icon. With highlight mode on, the icon is drawn
// highlighted while the menu's own window is on screen.
class QtStatusItem final : public QObject, public StatusItem {
 public:
  QtStatusItem(double length, QtStatusBar& bar);
  ~QtStatusItem() override;

  [[nodiscard]] double length() const override { return length_; }
  void setTitle(const std::string& title) override;
  void setImage(std::shared_ptr<Image> image) override;
  void setHighlightMode(bool highlight) override;
  void setMenu(Menu* menu) override;

  // `image` (alpha only) coloured in `colour`, at 1x and, when the image has
  // one, at 2x; with `highlighted`, on a rounded background of the palette's
  // highlight colour.
  static QIcon tintedIcon(const QtImage& image, const QPalette& palette, bool highlighted);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Makes the tray icon, with what the item was given so far, and shows it.
  void showInTray();
  void attachMenu();
  void activated(QSystemTrayIcon::ActivationReason reason);
  void menuVisibilityChanged(bool open);
  [[nodiscard]] QPoint menuPosition() const;
  // Draws the icon again if what it shows changed; drawIcon() draws it anew.
  void refreshIcon();
  void drawIcon();

  double length_;
  QtStatusBar& bar_;
  // Null until the icon can show (see QtStatusBar::whenItemCanShow).
  std::unique_ptr<QSystemTrayIcon> tray_;
  QString toolTip_;
  std::shared_ptr<QtImage> image_;
  QPointer<QMenu> menu_;
  bool highlight_ = false;
  bool menuOpen_ = false;
  // What the icon was last drawn with.
  std::shared_ptr<QtImage> drawnImage_;
  bool drawnHighlighted_ = false;
};

class QtStatusBar final : public StatusBar {
 public:
  // `diagnostics` (standard error, say) receives the one notice that the
  // desktop has no system tray; it must stay open while the bar lives. A C
  // stream, as the first C++ stream would set up the standard locale's
  // facets, which would cost the program's start half a megabyte.
  // `noStatusArea` (may be null; must outlive the bar) is told too.
  explicit QtStatusBar(std::FILE* diagnostics, StatusAreaAlert* noStatusArea = nullptr);

  std::shared_ptr<StatusItem> statusItemWithLength(double length) override;

  // Called by a new item: runs `show`, which makes and shows its tray icon,
  // now, or, where the desktop has no status area yet and the one that may
  // come is a status notifier host (on Wayland), once the status notifier
  // host appears on the session bus, and not after `item` is destroyed.
  // Without a status area, says so once for the life of the bar, on the
  // diagnostics stream and to `noStatusArea`.
  void whenItemCanShow(QObject& item, const std::function<void()>& show);

 private:
  std::FILE* diagnostics_;
  StatusAreaAlert* noStatusArea_;
  bool noTrayReported_ = false;
  StatusAreaWait wait_;

  void reportNoStatusArea();
};

}  // namespace pomrel::qt

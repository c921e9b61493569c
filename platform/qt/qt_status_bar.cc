#include "platform/qt/qt_status_bar.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <cstdio>

#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_item_menu.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/status_area.h"
#include "platform/qt/status_area_alert.h"

namespace pomrel::qt {
namespace {

constexpr int kIconSize = 16;

// The icon's pixmaps are plain pixel sizes (16 and 32), so that the tray
// picks the nearer one for its own slot size; an "@2x" image loads with a
// device pixel ratio of 2, which would halve it when drawn.
QPixmap tinted(QImage mask, const QColor& colour, const QColor& background) {
  mask.setDevicePixelRatio(1.0);
  QImage out(mask.size(), QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter painter(&out);
  painter.setRenderHint(QPainter::Antialiasing);
  if (background.isValid()) {
    const qreal radius = mask.width() / 5.0;
    QPainterPath path;
    path.addRoundedRect(QRectF(out.rect()), radius, radius);
    painter.fillPath(path, background);
  }
  // Only the image's coverage counts: its own colours are replaced.
  QImage glyph(mask.size(), QImage::Format_ARGB32_Premultiplied);
  glyph.fill(Qt::transparent);
  {
    QPainter glyphPainter(&glyph);
    glyphPainter.drawImage(0, 0, mask);
    glyphPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    glyphPainter.fillRect(glyph.rect(), colour);
  }
  painter.drawImage(0, 0, glyph);
  painter.end();
  return QPixmap::fromImage(out);
}

QIcon blankIcon() {
  QPixmap blank(kIconSize, kIconSize);
  blank.fill(Qt::transparent);
  return QIcon(blank);
}

}  // namespace

QtStatusItem::QtStatusItem(double length, QtStatusBar& bar) : length_(length), bar_(bar) {
  qApp->installEventFilter(this);
  bar_.whenItemCanShow(*this, [this] { showInTray(); });
}

void QtStatusItem::showInTray() {
  tray_ = std::make_unique<QSystemTrayIcon>();
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
  tray_->setToolTip(toolTip_);
  attachMenu();
  drawIcon();
  tray_->show();
  exportItemAsMenu(*tray_);
}

QtStatusItem::~QtStatusItem() { qApp->removeEventFilter(this); }

void QtStatusItem::setTitle(const std::string& title) {
  // The icon's tooltip shows the title; without one, the application's name,
  // so that a pointer resting on the icon always says whose it is.
  toolTip_ = title.empty() ? QCoreApplication::applicationName() : QString::fromStdString(title);
  if (tray_ != nullptr) tray_->setToolTip(toolTip_);
}

void QtStatusItem::setImage(std::shared_ptr<Image> image) {
  image_ = std::dynamic_pointer_cast<QtImage>(std::move(image));
  refreshIcon();
}

void QtStatusItem::setHighlightMode(bool highlight) {
  highlight_ = highlight;
  refreshIcon();
}

void QtStatusItem::setMenu(Menu* menu) {
  auto* qtMenu = dynamic_cast<QtMenu*>(menu);
  menu_ = qtMenu != nullptr ? qtMenu->qMenu() : nullptr;
  menuVisibilityChanged(menu_ != nullptr && menu_->isVisible());
  if (tray_ != nullptr) attachMenu();
}

void QtStatusItem::attachMenu() {
  // Where the icon is a status notifier item, Qt exports its context menu
  // over D-Bus, backing the menu with a platform menu of its own. In an
  // XEmbed tray it would instead open the context menu itself, at the
  // pointer, so there the menu is taken back and both clicks come here.
  tray_->setContextMenu(menu_);
  if (menu_ != nullptr && menu_->platformMenu() == nullptr) tray_->setContextMenu(nullptr);
}

void QtStatusItem::activated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context) return;
  if (menu_ == nullptr || menu_->isVisible()) return;
  // A Wayland client cannot place a window of its own by another's icon: a
  // menu without a window of the program's to hang from would be a window
  // of its own wherever the compositor puts it. There the status notifier
  // host draws the exported menu for both clicks, as the item asks; a host
  // that sends a click anyway is given nothing rather than a stray window.
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return;
  // The menu validates itself as it is about to show.
  menu_->popup(menuPosition());
}

QPoint QtStatusItem::menuPosition() const {
  // Below the icon, as a menu-bar item's menu drops down; above it when the
  // tray sits in the lower half of the screen. Where the tray does not tell
  // the icon's place, at the pointer.
  const QRect icon = tray_->geometry();
  if (!icon.isValid()) return QCursor::pos();
  const QScreen* screen = QGuiApplication::screenAt(icon.center());
  if (screen != nullptr && icon.center().y() > screen->geometry().center().y()) {
    return {icon.left(), icon.top() - menu_->sizeHint().height()};
  }
  return {icon.left(), icon.bottom() + 1};
}

void QtStatusItem::menuVisibilityChanged(bool open) {
  menuOpen_ = open;
  if (highlight_) refreshIcon();
}

void QtStatusItem::refreshIcon() {
  // Tinting draws both pixmaps again and has the tray repaint: only when the
  // image or its highlighting changed (at launch, the image is set, then
  // highlight mode and the menu, which change nothing drawn).
  if (drawnImage_ == image_ && drawnHighlighted_ == (highlight_ && menuOpen_)) return;
  drawIcon();
}

void QtStatusItem::drawIcon() {
  if (tray_ == nullptr) return;  // drawn when it shows
  drawnImage_ = image_;
  drawnHighlighted_ = highlight_ && menuOpen_;
  if (image_ == nullptr) {
    tray_->setIcon(blankIcon());
    return;
  }
  tray_->setIcon(tintedIcon(*image_, QApplication::palette(), drawnHighlighted_));
}

QIcon QtStatusItem::tintedIcon(const QtImage& image, const QPalette& palette, bool highlighted) {
  const QColor colour =
      palette.color(highlighted ? QPalette::HighlightedText : QPalette::WindowText);
  const QColor background = highlighted ? palette.color(QPalette::Highlight) : QColor();
  QIcon icon;
  icon.addPixmap(tinted(image.normal(), colour, background));
  if (!image.doubled().isNull()) icon.addPixmap(tinted(image.doubled(), colour, background));
  return icon;
}

bool QtStatusItem::eventFilter(QObject* watched, QEvent* event) {
  // Installed on the application, the filter sees every object's events.
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) drawIcon();
  if (watched == menu_ && event->type() == QEvent::Show) menuVisibilityChanged(true);
  if (watched == menu_ && event->type() == QEvent::Hide) menuVisibilityChanged(false);
  return QObject::eventFilter(watched, event);
}

QtStatusBar::QtStatusBar(std::FILE* diagnostics, StatusAreaAlert* noStatusArea)
    : diagnostics_(diagnostics), noStatusArea_(noStatusArea) {}

std::shared_ptr<StatusItem> QtStatusBar::statusItemWithLength(double length) {
  return std::make_shared<QtStatusItem>(length, *this);
}

void QtStatusBar::whenItemCanShow(QObject& item, const std::function<void()>& show) {
  if (hasStatusArea()) {
    show();
    return;
  }
  reportNoStatusArea();
  // An icon shown on X11 docks in an XEmbed tray as soon as one appears. A
  // status notifier item is another matter: Qt decides once whether the
  // session has a status notifier host, and an icon made before one exists
  // never registers. So where that is the only kind of status area, the icon
  // is made once a host appears.
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    show();
    return;
  }
  wait_.whenShown(item, show);
}

void QtStatusBar::reportNoStatusArea() {
  if (noTrayReported_) return;
  noTrayReported_ = true;
  std::fputs(
      "Pomrel: this desktop has no system tray; the status icon will show as soon as one is "
      "running.\n",
      diagnostics_);
  std::fflush(diagnostics_);
  if (noStatusArea_ != nullptr) noStatusArea_->itemShownWithoutStatusArea();
}

}  // namespace pomrel::qt

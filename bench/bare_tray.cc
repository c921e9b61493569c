// The reference point for Pomrel's desktop figures: the smallest Qt program
// that shows a status icon with a menu, and nothing else.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("BareTray");
  QApplication::setQuitOnLastWindowClosed(false);

  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    painter.setPen(QApplication::palette().color(QPalette::WindowText));
    painter.drawRect(2, 2, 11, 11);
  }

  QMenu menu;
  menu.addAction("Disable");
  menu.addAction("Enable");
  menu.addSeparator();
  QObject::connect(menu.addAction("Quit"), &QAction::triggered, &app, &QApplication::quit);

  QSystemTrayIcon icon{QIcon(pixmap)};
  icon.setContextMenu(&menu);
  QObject::connect(&icon, &QSystemTrayIcon::activated, &menu, [&menu](auto reason) {
    if (reason == QSystemTrayIcon::Trigger) menu.popup(QCursor::pos());
  });
  icon.show();
  return QApplication::exec();
}

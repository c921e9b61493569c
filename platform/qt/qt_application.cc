#include "platform/qt/qt_application.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

namespace pomrel::qt {

QtApplication::QtApplication(QtRunLoop* runLoop) : runLoop_(runLoop) {}

void QtApplication::activateIgnoringOtherApps(bool /*ignoreOtherApps*/) {
  // An X11 or Wayland client cannot take the focus from another application
  // by force; asking the window manager to activate our windows is the most
  // either allows, with or without the flag.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (!window->isVisible() || window->windowType() == Qt::Popup) continue;
    window->raise();
    window->activateWindow();
  }
}

void QtApplication::runAlertPanel(const std::string& title, const std::string& message) {
  QMessageBox box;
  box.setObjectName(kAlertObjectName);
  box.setIcon(QMessageBox::Information);
  box.setWindowTitle(QString::fromStdString(title));
  // Plain text: a message may hold names that programs chose for themselves.
  // Selectable, so that what it names can be copied.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(message));
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  box.setStandardButtons(QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  NonDefaultModeScope modal(runLoop_);
  box.exec();
}

}  // namespace pomrel::qt

#include "platform/qt/qt_window.h"

#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace pomrel::qt {

QtWindow::QtWindow(QWidget* window) : window_(window) {}

void QtWindow::center() {
  if (window_ == nullptr) return;
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  window_->adjustSize();
  QRect frame = window_->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window_->move(frame.topLeft());
}

void QtWindow::makeKeyAndOrderFront(void* /*sender*/) {
  if (window_ == nullptr) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void QtWindow::close() {
  // QWidget::close would make a dialog reject itself; the window's buttons
  // decide what closing means, so it is only hidden here.
  if (window_ != nullptr) window_->hide();
}

QtCheckBox::QtCheckBox(QCheckBox* checkBox) : checkBox_(checkBox) {}

int QtCheckBox::state() const {
  if (checkBox_ == nullptr) return NSControlStateValueOff;
  switch (checkBox_->checkState()) {
    case Qt::Unchecked:
      return NSControlStateValueOff;
    case Qt::PartiallyChecked:
      return NSControlStateValueMixed;
    case Qt::Checked:
      break;
  }
  return NSControlStateValueOn;
}

void QtCheckBox::setState(int state) {
  if (checkBox_ == nullptr) return;
  // The mixed state is shown only when it is set; a person's clicks then
  // go between ticked and unticked again.
  if (state == NSControlStateValueMixed) {
    checkBox_->setCheckState(Qt::PartiallyChecked);
    return;
  }
  checkBox_->setTristate(false);
  checkBox_->setCheckState(state == NSControlStateValueOff ? Qt::Unchecked : Qt::Checked);
}

}  // namespace pomrel::qt

#include "platform/qt/status_area_alert.h"

#include "platform/qt/status_area.h"

namespace pomrel::qt {

StatusAreaAlert::StatusAreaAlert(Bundle& texts, std::chrono::milliseconds grace) : texts_(texts) {
  timer_.setSingleShot(true);
  timer_.setInterval(grace);
  QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
}

StatusAreaAlert::~StatusAreaAlert() = default;

void StatusAreaAlert::itemShownWithoutStatusArea() {
  if (armed_) return;
  armed_ = true;
  timer_.start();
}

void StatusAreaAlert::check() {
  if (hasStatusArea()) return;
  box_ = std::make_unique<QMessageBox>(
      QMessageBox::Information, QString::fromStdString(texts_.localizedStringForKey("MSG_Title")),
      QString::fromStdString(texts_.localizedStringForKey("MSG_NoStatusArea")), QMessageBox::Ok);
  box_->setObjectName(kObjectName);
  box_->setTextFormat(Qt::PlainText);
  box_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  box_->setModal(false);
  box_->show();
  box_->raise();
  box_->activateWindow();
}

}  // namespace pomrel::qt

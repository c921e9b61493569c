#include "platform/qt/qt_credentials_prompt.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pomrel::qt {
namespace {

// Overwrites the characters of `text` in place when this is its only
// reference (the usual case once the widget that shared it has let go).
void wipe(QString& text) {
  if (!text.isDetached()) {
    text.clear();
    return;
  }
  text.fill(QChar(u'\0'));
  text.clear();
}

void wipe(QByteArray& bytes) {
  if (bytes.isDetached()) bytes.fill('\0');
  bytes.clear();
}

}  // namespace

QtCredentialsPrompt::QtCredentialsPrompt(Bundle& bundle, QtRunLoop* runLoop)
    : bundle_(bundle), runLoop_(runLoop) {}

std::optional<sim::Credentials> QtCredentialsPrompt::ask(const std::string& defaultName,
                                                         int attempt) {
  const auto text = [this](const char* key) {
    return QString::fromStdString(bundle_.localizedStringForKey(key));
  };

  QDialog dialog;
  dialog.setObjectName(kDialogName);
  dialog.setWindowTitle(text("PROMPT_Title"));
  dialog.setModal(true);

  auto* layout = new QVBoxLayout(&dialog);
  // A dialog of a fixed size, like an alert: a tiling Wayland compositor
  // (sway) floats such a window and tiles any other over the whole screen.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  auto* message = new QLabel(text("PROMPT_Message"));
  message->setWordWrap(true);
  layout->addWidget(message);

  if (attempt > 1) {
    auto* retry = new QLabel(text("PROMPT_Retry").arg(attempt));
    retry->setObjectName(kRetryNoteName);
    retry->setWordWrap(true);
    layout->addWidget(retry);
  }

  auto* form = new QFormLayout;
  auto* name = new QLineEdit(QString::fromStdString(defaultName));
  name->setObjectName(kNameFieldName);
  auto* password = new QLineEdit;
  password->setObjectName(kPasswordFieldName);
  password->setEchoMode(QLineEdit::Password);
  form->addRow(text("PROMPT_Name"), name);
  form->addRow(text("PROMPT_Password"), password);
  layout->addLayout(form);

  auto* buttons = new QDialogButtonBox;
  QPushButton* ok = buttons->addButton(text("BUTTON_OK"), QDialogButtonBox::AcceptRole);
  buttons->addButton(text("BUTTON_Cancel"), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);

  (name->text().isEmpty() ? name : password)->setFocus();

  int result = QDialog::Rejected;
  {
    NonDefaultModeScope modal(runLoop_);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    result = dialog.exec();
  }

  // The line edit lets go of its text first, so that the copy taken here is
  // the last one and can be overwritten in place.
  QString typed = password->text();
  password->setText(QString());
  if (result != QDialog::Accepted) {
    wipe(typed);
    return std::nullopt;
  }
  // Built in place so that no moved-from copy of the password is left behind.
  std::optional<sim::Credentials> answer(std::in_place);
  answer->name = name->text().toStdString();
  QByteArray utf8 = typed.toUtf8();
  answer->password.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
  wipe(utf8);
  wipe(typed);
  return answer;
}

}  // namespace pomrel::qt

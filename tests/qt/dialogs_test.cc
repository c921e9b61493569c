// The alert panel and the administrator prompt, answered by the test.
#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_credentials_prompt.h"
#include "tests/fakes/fakes.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

TEST(QtApplicationTest, AlertShowsTitleAndMessageWithOneDefaultButton) {
  QtApplication application(nullptr);
  QString title;
  QString text;
  QString objectName;
  int buttons = 0;
  bool okIsDefault = false;
  whenModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (box == nullptr) {
      ADD_FAILURE() << "the modal window is not a message box";
      modal->close();
      return;
    }
    objectName = box->objectName();
    title = box->windowTitle();
    text = box->text();
    buttons = static_cast<int>(box->buttons().size());
    okIsDefault = box->defaultButton() == box->button(QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
  application.runAlertPanel("Pomrel", "The card can be removed.");

  EXPECT_EQ(objectName, QtApplication::kAlertObjectName);
  EXPECT_EQ(title, "Pomrel");
  EXPECT_EQ(text, "The card can be removed.");
  EXPECT_EQ(buttons, 1);
  EXPECT_TRUE(okIsDefault);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

class PromptTest : public ::testing::Test {
 protected:
  PromptTest() { bundle.strings = {{"PROMPT_Retry", "Wrong, attempt %1"}, {"BUTTON_OK", "OK"}}; }

  // Answers the prompt once it is up: fills the password and presses OK, or
  // presses Cancel when `password` is null. Records what the dialog showed.
  void answer(const char* password) {
    whenModal([this, password](QWidget* modal) {
      dialogName = modal->objectName();
      defaultMode = loop.inDefaultMode();
      auto* name = modal->findChild<QLineEdit*>(QtCredentialsPrompt::kNameFieldName);
      auto* secret = modal->findChild<QLineEdit*>(QtCredentialsPrompt::kPasswordFieldName);
      auto* box = modal->findChild<QDialogButtonBox*>();
      if (name == nullptr || secret == nullptr || box == nullptr) {
        ADD_FAILURE() << "the prompt lacks its fields or buttons";
        modal->close();
        return;
      }
      shownName = name->text();
      passwordEchoes = secret->echoMode() != QLineEdit::Password;
      auto* retry = modal->findChild<QLabel*>(QtCredentialsPrompt::kRetryNoteName);
      retryNote = retry != nullptr ? retry->text() : QString();
      for (QAbstractButton* button : box->buttons()) {
        const auto role = box->buttonRole(button);
        if (password != nullptr && role == QDialogButtonBox::AcceptRole) {
          secret->setText(QString::fromUtf8(password));
          button->click();
          return;
        }
        if (password == nullptr && role == QDialogButtonBox::RejectRole) {
          button->click();
          return;
        }
      }
      ADD_FAILURE() << "no button to press";
      modal->close();
    });
  }

  fakes::FakeBundle bundle;
  QtRunLoop loop;
  QtCredentialsPrompt prompt{bundle, &loop};
  QString dialogName;
  QString shownName;
  QString retryNote;
  bool defaultMode = true;
  bool passwordEchoes = true;
};

TEST_F(PromptTest, OkHandsBackTheNameAndPassword) {
  answer("s3cret pass\xc3\xa9");
  const auto credentials = prompt.ask("alice", 1);

  ASSERT_TRUE(credentials.has_value());
  EXPECT_EQ(credentials->name, "alice");
  EXPECT_EQ(credentials->password, "s3cret pass\xc3\xa9");
  EXPECT_EQ(dialogName, QtCredentialsPrompt::kDialogName);
  EXPECT_EQ(shownName, "alice");
  EXPECT_FALSE(passwordEchoes);
  EXPECT_TRUE(retryNote.isEmpty()) << "a first attempt shows no retry note";
  EXPECT_FALSE(defaultMode) << "sources could run while the prompt was up";
  EXPECT_TRUE(loop.inDefaultMode());
}

TEST_F(PromptTest, CancelGivesNothingAndARetryShowsItsAttempt) {
  answer(nullptr);
  EXPECT_FALSE(prompt.ask("alice", 2).has_value());
  EXPECT_EQ(retryNote, "Wrong, attempt 2");
  EXPECT_TRUE(loop.inDefaultMode());

  // The next prompt starts afresh: the name as given, the password empty.
  answer("x");
  const auto credentials = prompt.ask("bob", 3);
  ASSERT_TRUE(credentials.has_value());
  EXPECT_EQ(credentials->name, "bob");
  EXPECT_EQ(credentials->password, "x");
  EXPECT_EQ(retryNote, "Wrong, attempt 3");
}

}  // namespace
}  // namespace pomrel::qt::testing

// The run loop delivers sources from Qt's event loop in the default mode only,
// holding them back around the menu, alerts and the administrator prompt; what
// the prompt shows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <memory>
#include <utility>

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_credentials_prompt.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_run_loop.h"
#include "tests/fakes/fakes.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

// Presses the button of `role` in the modal window's button box (a message
// box keeps its buttons in one too).
void press(QWidget* modal, QDialogButtonBox::ButtonRole role) {
  auto* box = modal->findChild<QDialogButtonBox*>();
  for (QAbstractButton* button : box != nullptr ? box->buttons() : QList<QAbstractButton*>()) {
    if (box->buttonRole(button) == role) return button->click();
  }
  ADD_FAILURE() << "no button to press";
  modal->close();
}

TEST(QtRunLoopTest, PerformsEachReadySourceOnceOutsideNestedNonDefaultModes) {
  QtRunLoop loop;
  TestSource other;
  auto owned = std::make_unique<TestSource>();
  TestSource* source = owned.get();
  int performs = 0;
  source->onPerform = [&] {  // removing and destroying itself from inside perform is safe
    ++performs;
    loop.removeSource(source, kCFRunLoopDefaultMode);
    owned.reset();
  };
  loop.addSource(source, kCFRunLoopDefaultMode);
  loop.addSource(source, kCFRunLoopDefaultMode);  // a second install does nothing
  settle();
  EXPECT_EQ(performs, 0) << "performed without anything to read";

  loop.enterNonDefaultMode();
  loop.enterNonDefaultMode();
  source->signal();
  settle();
  loop.leaveNonDefaultMode();
  other.signal();
  loop.addSource(&other, kCFRunLoopDefaultMode);  // installed meanwhile: waits too
  settle();
  EXPECT_EQ(performs + other.performs, 0) << "delivered while still nested";
  loop.leaveNonDefaultMode();
  loop.leaveNonDefaultMode();  // unmatched: ignored
  EXPECT_TRUE(loop.inDefaultMode());
  ASSERT_TRUE(QTest::qWaitFor([&] { return performs == 1 && other.performs == 1; }));
  settle();
  EXPECT_EQ(performs + other.performs, 2);
  EXPECT_EQ(loop.sourceCount(), 1U);

  loop.removeSource(&other, kCFRunLoopDefaultMode);
  other.signal();
  settle();
  EXPECT_EQ(other.performs, 1) << "performed after removal";
}

TEST(QtRunLoopTest, MenuAlertAndPromptHoldSourcesBackAndThePromptOffersTheNameHidingThePassword) {
  QtRunLoop loop;
  TestSource source;
  loop.addSource(&source, kCFRunLoopDefaultMode);
  QMenu qmenu;
  qmenu.addAction(QStringLiteral("item"));
  QtMenu menu(&qmenu, &loop);
  QtApplication application(&loop);
  fakes::FakeBundle bundle;
  QtCredentialsPrompt prompt(bundle, &loop);

  int before = 0;
  bool heldBack = false;
  const auto whileUp = [&] {
    before = source.performs;
    source.signal();
    settle();
    heldBack = !loop.inDefaultMode() && source.performs == before;
  };
  const auto heldBackThenDelivered = [&] {
    return std::exchange(heldBack, false) && loop.inDefaultMode() &&
           QTest::qWaitFor([&] { return source.performs == before + 1; });
  };

  qmenu.popup(QPoint(10, 10));
  whileUp();
  qmenu.hide();
  EXPECT_TRUE(heldBackThenDelivered()) << "the menu";

  // A status notifier host about to draw the exported menu, which may never
  // say that it closed it.
  emit qmenu.aboutToShow();
  source.signal();
  EXPECT_TRUE(QTest::qWaitFor([&] { return source.performs == before + 2; }))
      << "held back by a host-drawn menu";

  whenModal([&](QWidget* alert) {
    whileUp();
    press(alert, QDialogButtonBox::AcceptRole);
  });
  application.runAlertPanel("Title", "Message");
  EXPECT_TRUE(heldBackThenDelivered()) << "an alert";

  // The prompt offers the name it is given, hides the password and, on a
  // retry, says which attempt this is; Cancel hands back nothing. (What OK
  // hands back is the end-to-end test's.)
  bundle.strings = {{"PROMPT_Retry", "Wrong, attempt %1"}};
  whenModal([&](QWidget* dialog) {
    whileUp();
    auto* name = dialog->findChild<QLineEdit*>(QtCredentialsPrompt::kNameFieldName);
    auto* secret = dialog->findChild<QLineEdit*>(QtCredentialsPrompt::kPasswordFieldName);
    auto* retry = dialog->findChild<QLabel*>(QtCredentialsPrompt::kRetryNoteName);
    EXPECT_TRUE(name != nullptr && name->text() == "alice");
    EXPECT_TRUE(secret != nullptr && secret->echoMode() == QLineEdit::Password);
    EXPECT_TRUE(retry != nullptr && retry->text() == "Wrong, attempt 2");
    if (secret != nullptr) secret->setText("s3cret");
    press(dialog, QDialogButtonBox::RejectRole);
  });
  EXPECT_FALSE(prompt.ask("alice", 2).has_value());
  EXPECT_TRUE(heldBackThenDelivered()) << "the prompt";
  loop.removeSource(&source, kCFRunLoopDefaultMode);
}

}  // namespace
}  // namespace pomrel::qt::testing

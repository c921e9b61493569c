// The run loop: sources are delivered from Qt's event loop in the default
// mode only, and held back (then delivered) around menus, alerts and prompts.
#include <gtest/gtest.h>

#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_run_loop.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

using namespace std::chrono_literals;

// Long enough for a readable descriptor to be noticed by the event loop; the
// tests that use it assert that nothing happened, so a slow machine cannot
// make them fail.
constexpr auto kSettle = 100ms;

TEST(QtRunLoopTest, PerformsAReadableSourceOnceInTheDefaultMode) {
  QtRunLoop loop;
  PipeSource source;
  loop.addSource(&source, kCFRunLoopDefaultMode);
  loop.addSource(&source, kCFRunLoopDefaultMode);  // a second install does nothing
  EXPECT_EQ(loop.sourceCount(), 1U);

  processEventsFor(kSettle);
  EXPECT_EQ(source.performs, 0) << "performed without anything to read";

  source.signal();
  ASSERT_TRUE(processEventsUntil([&] { return source.performs > 0; }));
  processEventsFor(kSettle);
  EXPECT_EQ(source.performs, 1);

  loop.removeSource(&source, kCFRunLoopDefaultMode);
  source.signal();
  processEventsFor(kSettle);
  EXPECT_EQ(source.performs, 1) << "performed after removal";
}

TEST(QtRunLoopTest, HoldsSourcesBackOutsideTheDefaultModeAndDeliversThemOnReturn) {
  QtRunLoop loop;
  PipeSource source;
  loop.addSource(&source, kCFRunLoopDefaultMode);

  loop.enterNonDefaultMode();
  loop.enterNonDefaultMode();
  source.signal();
  processEventsFor(kSettle);
  loop.leaveNonDefaultMode();
  processEventsFor(kSettle);
  EXPECT_EQ(source.performs, 0) << "delivered while still nested out of the default mode";

  // A source installed meanwhile waits too.
  PipeSource late;
  late.signal();
  loop.addSource(&late, kCFRunLoopDefaultMode);
  processEventsFor(kSettle);
  EXPECT_EQ(late.performs, 0);

  loop.leaveNonDefaultMode();
  EXPECT_TRUE(loop.inDefaultMode());
  ASSERT_TRUE(processEventsUntil([&] { return source.performs == 1 && late.performs == 1; }));

  loop.leaveNonDefaultMode();  // unmatched: ignored
  EXPECT_TRUE(loop.inDefaultMode());
  loop.removeSource(&source, kCFRunLoopDefaultMode);
  loop.removeSource(&late, kCFRunLoopDefaultMode);
}

TEST(QtRunLoopTest, ASourceMayRemoveAndDestroyItselfFromInsidePerform) {
  QtRunLoop loop;
  auto owned = std::make_unique<PipeSource>();
  PipeSource* source = owned.get();
  int performs = 0;
  source->onPerform = [&] {
    ++performs;
    loop.removeSource(source, kCFRunLoopDefaultMode);
    owned.reset();  // closes the descriptor the notifier watched
  };
  loop.addSource(source, kCFRunLoopDefaultMode);
  source->signal();
  ASSERT_TRUE(processEventsUntil([&] { return performs > 0; }));
  processEventsFor(kSettle);
  EXPECT_EQ(performs, 1);
  EXPECT_EQ(loop.sourceCount(), 0U);

  // The loop goes on delivering other sources.
  PipeSource other;
  loop.addSource(&other, kCFRunLoopDefaultMode);
  other.signal();
  EXPECT_TRUE(processEventsUntil([&] { return other.performs == 1; }));
  loop.removeSource(&other, kCFRunLoopDefaultMode);
}

TEST(QtRunLoopTest, AnAlertHoldsSourcesBackUntilItIsDismissed) {
  QtRunLoop loop;
  QtApplication application(&loop);
  PipeSource source;
  loop.addSource(&source, kCFRunLoopDefaultMode);

  int performsWhileUp = -1;
  bool defaultModeWhileUp = true;
  whenModal([&](QWidget* alert) {
    defaultModeWhileUp = loop.inDefaultMode();
    source.signal();
    // Let the alert's own event loop run with the source readable.
    QTimer::singleShot(kSettle, alert, [&, alert] {
      performsWhileUp = source.performs;
      qobject_cast<QMessageBox*>(alert)->button(QMessageBox::Ok)->click();
    });
  });
  application.runAlertPanel("Title", "Message");

  EXPECT_FALSE(defaultModeWhileUp);
  EXPECT_EQ(performsWhileUp, 0) << "delivered inside the alert";
  EXPECT_TRUE(loop.inDefaultMode());
  EXPECT_TRUE(processEventsUntil([&] { return source.performs == 1; }));
  loop.removeSource(&source, kCFRunLoopDefaultMode);
}

TEST(QtRunLoopTest, AnOpenMenuHoldsSourcesBackUntilItCloses) {
  QtRunLoop loop;
  QMenu menu;
  menu.addAction(QStringLiteral("item"));
  QtMenu adapter(&menu, &loop);
  PipeSource source;
  loop.addSource(&source, kCFRunLoopDefaultMode);

  menu.popup(QPoint(10, 10));
  EXPECT_FALSE(loop.inDefaultMode());
  source.signal();
  processEventsFor(kSettle);
  EXPECT_EQ(source.performs, 0) << "delivered while the menu was open";

  menu.hide();
  EXPECT_TRUE(loop.inDefaultMode());
  EXPECT_TRUE(processEventsUntil([&] { return source.performs == 1; }));

  // A menu destroyed while open does not leave the loop out of its mode.
  menu.popup(QPoint(10, 10));
  {
    QMenu second;
    QtMenu secondAdapter(&second, &loop);
    second.popup(QPoint(20, 20));
  }
  menu.hide();
  EXPECT_TRUE(loop.inDefaultMode());
  loop.removeSource(&source, kCFRunLoopDefaultMode);
}

}  // namespace
}  // namespace pomrel::qt::testing

// Windows and controls of the interface resource, as the core sees them.
#pragma once

#include <QCheckBox>
#include <QPointer>
#include <QWidget>

#include "platform/window.h"

namespace pomrel::qt {

// A window over a top-level widget (the preferences dialog).
class QtWindow final : public Window {
 public:
  explicit QtWindow(QWidget* window);

  // Centres the window on the available area of the screen under the
  // pointer (or the primary screen).
  void center() override;
  void makeKeyAndOrderFront(void* sender) override;
  // Hides the window without sending any of its actions.
  void close() override;

  [[nodiscard]] QWidget* qWidget() const { return window_; }

 private:
  QPointer<QWidget> window_;
};

// A check box with three states: unticked (NSControlStateValueOff), ticked
// (NSControlStateValueOn) and mixed (NSControlStateValueMixed, Qt's
// partially checked state). Only setState reaches the mixed state; a click
// on the box moves between ticked and unticked.
class QtCheckBox final : public Button {
 public:
  explicit QtCheckBox(QCheckBox* checkBox);

  [[nodiscard]] int state() const override;
  // A value other than the three states counts as ticked.
  void setState(int state) override;

  [[nodiscard]] QCheckBox* qCheckBox() const { return checkBox_; }

 private:
  QPointer<QCheckBox> checkBox_;
};

}  // namespace pomrel::qt

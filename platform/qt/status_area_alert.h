// The one alert that says the desktop shows no status icons.
#pragma once

#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <memory>

#include "platform/bundle.h"

namespace pomrel::qt {

// Tells the person, in a window of its own, that Pomrel runs but that this
// desktop shows no status icons, and how to get them, when no status area
// (an XEmbed tray or a status notifier host) has appeared `grace` after the
// status item first showed without one. It is shown once for the life of
// the object, raised and activated, and is not modal: the item keeps
// waiting, and shows as soon as a status area appears.
//
// Nothing runs while a status area is there: the one check is a single-shot
// timer, armed only when the item shows without one.
//
// Needs a QApplication. Main thread only.
class StatusAreaAlert {
 public:
  // The name of the alert's window, for tests and tools that look for it.
  static constexpr const char* kObjectName = "pomrel_no_status_area";
  // How long a desktop that is still starting gets to bring up its panel.
  static constexpr std::chrono::milliseconds kGrace{5000};

  // `texts` gives the alert's title and message ("MSG_Title",
  // "MSG_NoStatusArea"); it must outlive the object.
  explicit StatusAreaAlert(Bundle& texts, std::chrono::milliseconds grace = kGrace);
  StatusAreaAlert(const StatusAreaAlert&) = delete;
  StatusAreaAlert& operator=(const StatusAreaAlert&) = delete;
  ~StatusAreaAlert();

  // The status item showed with no status area: checks again after the
  // grace. Only the first call arms the check.
  void itemShownWithoutStatusArea();

 private:
  void check();

  Bundle& texts_;
  QTimer timer_;
  bool armed_ = false;
  std::unique_ptr<QMessageBox> box_;
};

}  // namespace pomrel::qt

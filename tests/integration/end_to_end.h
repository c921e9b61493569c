// The whole program on a temporary simulated machine: sxs-card and its
// stand-in tools run as child processes, SimRegistry watches the registry
// folder with inotify, the privileged runner starts the kernel-extension
// tools, and the Qt front end runs headless with its real alerts and
// administrator prompt, which the test answers the way a person would.
#pragma once

#include <poll.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_credentials_prompt.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/sim/posix_system.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_file_manager.h"
#include "platform/sim/sim_process_runner.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_user_defaults.h"
#include "simulator/admin_accounts.h"
#include "simulator/machine.h"
#include "simulator/registry_store.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::integration {

using namespace std::chrono_literals;

inline constexpr const char* kAdminName = "operator";
inline constexpr const char* kAdminPassword = "card-keeper 7";

// Runs the event loop until `done` answers true or `limit` has passed;
// returns `done`'s last answer.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds limit = 10s) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// Runs the event loop for about `span`. Used only where the test then checks
// that something did NOT happen, so a slow machine cannot fail it.
inline void processEventsFor(std::chrono::milliseconds span) {
  processEventsUntil([] { return false; }, span);
}

// True once `fd` is readable (at most `limit`).
inline bool waitReadable(int fd, std::chrono::milliseconds limit = 5s) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

// The enable command's pause without the wait: returns as soon as the plug-in
// load the command has just started has settled on the machine (the plug-in
// loaded and the media service published exactly when the card calls for it),
// and never later than the pause asked for. A plain no-op would race the load
// tool, which the command does not wait for.
class SettlingClock final : public Clock {
 public:
  explicit SettlingClock(const sim::MachinePaths& paths) : paths_(paths), store_(paths) {}

  void sleep(unsigned seconds) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!settled() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  }
  void usleep(std::uint32_t /*microseconds*/) override {}

 private:
  bool settled() const {
    const std::optional<sim::MachineState> state = sim::readMachineState(paths_);
    return state && state->pluginLoaded && !state->mediaArrivalPending &&
           state->mediaServiceShouldExist() == store_.firstEntry(kSxSMediaServiceName).has_value();
  }

  sim::MachinePaths paths_;
  sim::RegistryStore store_;
};

// The real application, counting how often a command started: both commands
// begin by bringing the application forward, and nothing else does.
class CountingApplication final : public Application {
 public:
  explicit CountingApplication(qt::QtApplication& real) : real_(real) {}

  void activateIgnoringOtherApps(bool ignoreOtherApps) override {
    ++starts;
    if (QApplication::activeModalWidget() != nullptr) ++startsUnderAModalWindow;
    real_.activateIgnoringOtherApps(ignoreOtherApps);
  }
  void runAlertPanel(const std::string& title, const std::string& message) override {
    real_.runAlertPanel(title, message);
  }

  int starts = 0;
  int startsUnderAModalWindow = 0;

 private:
  qt::QtApplication& real_;
};

// What an alert showed, and the machine as it was while it was up.
struct ShownAlert {
  std::string title;
  std::string text;
  bool pluginLoaded = false;
  bool watchArmed = false;
};

// Answers the front end's modal windows from a queued call once each is up:
// every alert is recorded and closed with its button; the administrator
// prompt is counted and answered with the administrator's name and
// `password`, or cancelled while `password` is empty.
class DialogAnswerer final : public QObject {
 public:
  explicit DialogAnswerer(const sim::MachinePaths& paths) : paths_(paths) {
    qApp->installEventFilter(this);
  }
  ~DialogAnswerer() override { qApp->removeEventFilter(this); }

  std::vector<ShownAlert> alerts;
  int prompts = 0;
  std::string password = kAdminPassword;
  // When set, runs once, from inside the next alert's own event loop, before
  // that alert is closed.
  std::function<void()> whileAlertUp;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    if (auto* box = qobject_cast<QMessageBox*>(watched);
        box != nullptr && box->objectName() == qt::QtApplication::kAlertObjectName) {
      const std::optional<sim::MachineState> state = sim::readMachineState(paths_);
      alerts.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                        state && state->pluginLoaded, g_NotifyPort != nullptr});
      QMetaObject::invokeMethod(
          box,
          [this, box] {
            if (const std::function<void()> hook = std::exchange(whileAlertUp, nullptr)) hook();
            box->button(QMessageBox::Ok)->click();
          },
          Qt::QueuedConnection);
    } else if (auto* dialog = qobject_cast<QDialog*>(watched);
               dialog != nullptr && dialog->objectName() == qt::QtCredentialsPrompt::kDialogName) {
      ++prompts;
      QMetaObject::invokeMethod(
          dialog, [this, dialog] { answerPrompt(*dialog); }, Qt::QueuedConnection);
    }
    return false;
  }

 private:
  void answerPrompt(QDialog& dialog) const {
    auto* name = dialog.findChild<QLineEdit*>(qt::QtCredentialsPrompt::kNameFieldName);
    auto* secret = dialog.findChild<QLineEdit*>(qt::QtCredentialsPrompt::kPasswordFieldName);
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    if (name == nullptr || secret == nullptr || buttons == nullptr) {
      ADD_FAILURE() << "the administrator prompt lacks its fields or buttons";
      dialog.reject();
      return;
    }
    const auto role =
        password.empty() ? QDialogButtonBox::RejectRole : QDialogButtonBox::AcceptRole;
    name->setText(QString::fromUtf8(kAdminName));
    secret->setText(QString::fromStdString(password));
    for (QAbstractButton* button : buttons->buttons()) {
      if (buttons->buttonRole(button) == role) {
        button->click();
        return;
      }
    }
    ADD_FAILURE() << "the administrator prompt has no button of role " << role;
    dialog.reject();
  }

  sim::MachinePaths paths_;
};

// A fresh machine (driver installed and loaded, no card, cards presented
// without delay) with one administrator account; the program is launched on
// it by launch() and quit by quit(), after which it must have cleared its
// watch and released every registry handle.
class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.root().empty());
    // The program's tools find their machine as the program does.
    ::setenv("POMREL_MACHINE", temp_.root().c_str(), 1);
    card({"init", "--load-delay", "0"});
    ASSERT_TRUE(sim::setAdminPassword(temp_.root(), kAdminName, kAdminPassword));
  }

  void TearDown() override {
    quit();
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_EQ(registry_.liveHandleCount(), 0U);
    ::unsetenv("POMREL_MACHINE");
  }

  // sxs-card on this machine; it must succeed.
  void card(std::vector<std::string> args) {
    args.insert(args.begin(), {"--machine", temp_.root()});
    const sim::test::RunResult result =
        sim::test::run(POMREL_SXS_CARD, args, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(result.exitStatus, 0) << "sxs-card " << args[2] << ": " << result.err;
  }

  // Loads the interface and delivers the end of launching, as the program
  // does. With `realClock` the enable command pauses for real.
  void launch(bool realClock = false) {
    platform_ = std::make_unique<Platform>(
        Platform{application_, bundle_, statusBar_, registry_, runLoop_, processes_, authorization_,
                 fileManager_, processInfo_, userDefaults_,
                 realClock ? static_cast<Clock&>(posixClock_) : settlingClock_});
    controller_ = std::make_unique<AppController>(*platform_);
    ASSERT_TRUE(interface_.load(bundle_.resourcesPath() + "/MainMenu.ui", *controller_))
        << interface_.errorString().toStdString();
    controller_->applicationDidFinishLaunching(nullptr);
  }
  AppController& controller() { return *controller_; }
  void quit() {
    if (controller_ != nullptr) controller_->applicationWillTerminate(nullptr);
    controller_.reset();
  }

  [[nodiscard]] sim::MachineState machine() const {
    return sim::readMachineState(paths_).value_or(sim::MachineState{});
  }
  [[nodiscard]] std::vector<sim::EntryId> mediaServices() const {
    return store_.listEntries(kSxSMediaServiceName);
  }
  [[nodiscard]] static bool watchArmed() { return g_NotifyPort != nullptr; }
  // The descriptor on which the armed watch's notifications arrive.
  int watchDescriptor() {
    return registry_.notificationPortGetRunLoopSource(g_NotifyPort)->descriptor();
  }

  // The alerts shown so far, by their message key.
  [[nodiscard]] std::vector<std::string> alertKeys() {
    std::vector<std::string> keys;
    for (const ShownAlert& alert : answerer_.alerts) {
      std::string key = "?" + alert.text;
      for (const char* known : {"MSG_RemoveSafely", "MSG_EjectFail", "MSG_NotInstall"}) {
        if (alert.text == bundle_.localizedStringForKey(known)) key = known;
      }
      EXPECT_EQ(alert.title, bundle_.localizedStringForKey("MSG_Title"));
      keys.push_back(key);
    }
    return keys;
  }
  // Waits until `count` alerts have been shown and closed.
  bool awaitAlerts(std::size_t count) {
    return processEventsUntil([&] { return answerer_.alerts.size() >= count; });
  }

  sim::test::TempRoot temp_;
  sim::MachinePaths paths_ = temp_.paths();
  sim::RegistryStore store_{paths_};
  DialogAnswerer answerer_{paths_};

  sim::SimRegistry registry_{paths_};
  sim::SimFileManager fileManager_{paths_};
  sim::SimProcessRunner processes_{paths_};
  sim::SimUserDefaultsFactory userDefaults_{paths_, "test.pomrel.integration"};
  SettlingClock settlingClock_{paths_};
  sim::PosixClock posixClock_;
  char programName_[8] = "Pomrel";
  char* arguments_[2] = {programName_, nullptr};
  sim::PosixProcessInfo processInfo_{1, arguments_};
  qt::QtRunLoop runLoop_;
  qt::QtApplication qtApplication_{&runLoop_};
  CountingApplication application_{qtApplication_};
  qt::QtBundle bundle_{QStringLiteral(POMREL_TEST_BUNDLE_RESOURCES), {QStringLiteral("en")}};
  std::ostringstream diagnostics_;
  qt::QtStatusBar statusBar_{diagnostics_};
  qt::QtCredentialsPrompt prompt_{bundle_, &runLoop_};
  sim::SimAuthorization authorization_{paths_, prompt_};
  std::unique_ptr<Platform> platform_;
  qt::InterfaceLoader interface_{bundle_, &runLoop_};
  std::unique_ptr<AppController> controller_;
};

}  // namespace pomrel::integration

// The whole program on a temporary simulated machine: sxs-card's stand-in
// tools as child processes, SimRegistry over inotify, the privileged runner,
// and the Qt front end headless, whose alerts and administrator prompt the
// test answers the way a person would.
#pragma once

#include <QApplication>
#include <QDialog>
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
#include <utility>
#include <vector>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/posix/posix_system.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_credentials_prompt.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_file_manager.h"
#include "platform/sim/sim_process_runner.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_user_defaults.h"
#include "simulator/admin_accounts.h"
#include "simulator/machine.h"
#include "simulator/registry_store.h"
#include "tests/qt/qt_test_support.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::integration {

using namespace std::chrono_literals;

inline constexpr const char* kAdminName = "operator";
inline constexpr const char* kAdminPassword = "card-keeper 7";

using pomrel::qt::testing::processEventsUntil;

// Only before checking that something did NOT happen.
inline void processEventsFor(std::chrono::milliseconds span) {
  processEventsUntil([] { return false; }, span);
}

// Once each modal window is up: records and closes every alert (first running
// `whileAlertUp` inside it, once); counts the administrator prompt and answers
// it with `password`, or cancels it while `password` is empty.
class DialogAnswerer final : public QObject {
 public:
  explicit DialogAnswerer(const sim::MachinePaths& paths) : paths_(paths) {
    qApp->installEventFilter(this);
  }
  ~DialogAnswerer() override { qApp->removeEventFilter(this); }

  struct Alert {
    std::string title, text;
    bool pluginLoaded;
  };
  std::vector<Alert> alerts;
  int prompts = 0;
  std::string password = kAdminPassword;
  std::function<void()> whileAlertUp;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    if (auto* box = qobject_cast<QMessageBox*>(watched);
        box != nullptr && box->objectName() == qt::QtApplication::kAlertObjectName) {
      const auto state = sim::readMachineState(paths_);
      alerts.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                        state && state->pluginLoaded});
      QMetaObject::invokeMethod(
          box,
          [this, box] {
            if (const auto hook = std::exchange(whileAlertUp, nullptr)) hook();
            box->button(QMessageBox::Ok)->click();
          },
          Qt::QueuedConnection);
    } else if (auto* dialog = qobject_cast<QDialog*>(watched);
               dialog != nullptr && dialog->objectName() == qt::QtCredentialsPrompt::kDialogName) {
      ++prompts;
      QMetaObject::invokeMethod(
          dialog,
          [this, dialog] {
            auto* name = dialog->findChild<QLineEdit*>(qt::QtCredentialsPrompt::kNameFieldName);
            auto* secret =
                dialog->findChild<QLineEdit*>(qt::QtCredentialsPrompt::kPasswordFieldName);
            if (name == nullptr || secret == nullptr || password.empty()) return dialog->reject();
            name->setText(QString::fromUtf8(kAdminName));
            secret->setText(QString::fromStdString(password));
            dialog->accept();
          },
          Qt::QueuedConnection);
    }
    return false;
  }

 private:
  sim::MachinePaths paths_;
};

// A fresh machine (driver installed and loaded, no card, no load delay) with
// one administrator. The program runs on it from launch() to quit(), after
// which its watch must be cleared and every registry handle released.
class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.root().empty());
    ::setenv("POMREL_MACHINE", temp_.root().c_str(), 1);
    card({"init", "--load-delay", "0"});
    ASSERT_TRUE(sim::setAdminPassword(temp_.root(), kAdminName, kAdminPassword));
  }
  void TearDown() override {
    if (controller_ != nullptr) controller_->applicationWillTerminate(nullptr);
    controller_.reset();
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_EQ(registry_.liveHandleCount(), 0U);
    ::unsetenv("POMREL_MACHINE");
  }

  void card(std::vector<std::string> args) {
    args.insert(args.begin(), {"--machine", temp_.root()});
    const auto result = sim::test::run(POMREL_SXS_CARD, args, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(result.exitStatus, 0) << "sxs-card " << args[2] << ": " << result.err;
  }

  // Loads the interface and finishes launching, as the program does.
  void launch(Clock& clock) {
    platform_ = std::make_unique<Platform>(
        Platform{application_, bundle_, statusBar_, registry_, runLoop_, processes_, authorization_,
                 fileManager_, processInfo_, userDefaults_, clock});
    controller_ = std::make_unique<AppController>(*platform_);
    ASSERT_TRUE(interface_.load(bundle_.resourcesPath() + "/MainMenu.ui", *controller_))
        << interface_.errorString().toStdString();
    controller_->applicationDidFinishLaunching(nullptr);
  }
  void launch() { launch(posixClock_); }
  AppController& controller() { return *controller_; }

  [[nodiscard]] sim::MachineState machine() const {
    return sim::readMachineState(paths_).value_or(sim::MachineState{});
  }
  [[nodiscard]] std::vector<sim::EntryId> mediaServices() const {
    return store_.listEntries(kSxSMediaServiceName);
  }
  [[nodiscard]] static bool watchArmed() { return g_NotifyPort != nullptr; }

  // The message key of each alert shown so far.
  [[nodiscard]] std::vector<std::string> alertKeys() {
    std::vector<std::string> keys;
    for (const auto& alert : answerer_.alerts) {
      EXPECT_EQ(alert.title, bundle_.localizedStringForKey("MSG_Title"));
      keys.push_back("?" + alert.text);
      for (const char* key :
           {"MSG_RemoveSafely", "MSG_EjectFail", "MSG_NotInstall", "MSG_UnloadFail"}) {
        if (alert.text == bundle_.localizedStringForKey(key)) keys.back() = key;
      }
    }
    return keys;
  }
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
  posix::PosixClock posixClock_;
  char programName_[8] = "Pomrel";
  char* arguments_[2] = {programName_, nullptr};
  posix::PosixProcessInfo processInfo_{1, arguments_};
  qt::QtRunLoop runLoop_;
  qt::QtApplication application_{&runLoop_};
  qt::QtBundle bundle_{QStringLiteral(POMREL_TEST_BUNDLE_RESOURCES), {QStringLiteral("en")}};
  std::ostringstream diagnostics_;
  qt::QtStatusBar statusBar_{diagnostics_};
  qt::QtCredentialsPrompt prompt_{bundle_, &runLoop_};
  sim::SimAuthorization authorization_{paths_, prompt_, &runLoop_};
  std::unique_ptr<Platform> platform_;
  qt::InterfaceLoader interface_{bundle_, &runLoop_};
  std::unique_ptr<AppController> controller_;
};

}  // namespace pomrel::integration

// The interface resource loaded and connected to a controller on fakes: the
// status menu's validation and the preferences window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QMenu>
#include <QPushButton>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_bundle.h"
#include "tests/fakes/fakes.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.fileManager.paths.insert(kSxSPluginPath);
    controller = std::make_unique<AppController>(fake.platform);
    ASSERT_TRUE(loader.load(kBundleResources + "/MainMenu.ui", *controller))
        << loader.errorString().toStdString();
    menu = loader.statusMenu()->qMenu();
    window = qobject_cast<QDialog*>(loader.preferencesWindow()->qWidget());
    checkBox = loader.loginItem()->qCheckBox();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(checkBox, nullptr);
  }
  void TearDown() override {
    if (menu != nullptr) menu->hide();
    controller.reset();  // before the loader that holds its outlets
    EXPECT_TRUE(loop.inDefaultMode());
  }

  template <typename Control>
  Control* find(const QList<Control*>& controls, const char* selector) const {
    for (Control* control : controls) {
      if (control->property("action").toString() == QLatin1String(selector)) return control;
    }
    ADD_FAILURE() << "nothing sends " << selector;
    return nullptr;
  }
  QAction* item(const char* selector) const { return find(menu->actions(), selector); }
  QPushButton* button(const char* selector) const {
    return find(window->findChildren<QPushButton*>(), selector);
  }
  [[nodiscard]] bool enabled(const char* selector) const { return item(selector)->isEnabled(); }
  [[nodiscard]] PropertyValue savedSetting() {
    return fake.userDefaults.store.domains[fakes::FakeUserDefaults::kApplication]["AddLoginItem"];
  }

  fakes::FakePlatform fake;
  QtRunLoop loop;
  QtBundle bundle{kBundleResources, {"en"}};
  InterfaceLoader loader{bundle, &loop};
  std::unique_ptr<AppController> controller;
  QMenu* menu = nullptr;
  QDialog* window = nullptr;
  QCheckBox* checkBox = nullptr;
};

TEST_F(InterfaceTest, EachOpeningValidatesTheControllersItemsAfresh) {
  item("w0_OrderFront:")->setEnabled(false);
  item("terminate:")->setEnabled(false);
  menu->popup(QPoint(0, 0));
  EXPECT_FALSE(loop.inDefaultMode());
  EXPECT_FALSE(enabled("disableMedia:")) << "no card";
  EXPECT_TRUE(enabled("enableMedia:"));
  EXPECT_TRUE(enabled("w0_OrderFront:"));
  EXPECT_FALSE(enabled("terminate:")) << "Quit's target is the application: not validated";
  menu->hide();

  fake.registry.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, "disk2"}});
  menu->popup(QPoint(0, 0));
  EXPECT_TRUE(enabled("disableMedia:"));
  EXPECT_FALSE(enabled("enableMedia:"));
  menu->hide();

  fake.registry.terminateAll(kSxSMediaServiceName);
  emit menu->aboutToShow();  // a status notifier host about to draw the exported menu
  EXPECT_FALSE(enabled("disableMedia:"));
  EXPECT_TRUE(enabled("enableMedia:"));
}

TEST_F(InterfaceTest, ThePreferencesWindowShowsSavesAndCancelsTheSetting) {
  item("w0_OrderFront:")->trigger();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(checkBox->checkState(), Qt::Unchecked) << "first run";

  // OK saves the box as the setting; a mixed box counts as ticked.
  const std::pair<Qt::CheckState, bool> oks[] = {
      {Qt::Checked, true}, {Qt::Unchecked, false}, {Qt::PartiallyChecked, true}};
  for (const auto& [state, expected] : oks) {
    SCOPED_TRACE(state);
    item("w0_OrderFront:")->trigger();
    checkBox->setCheckState(state);
    button("w0_Ok:")->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(savedSetting(), PropertyValue(expected));
  }

  // Cancel writes nothing, and the next opening shows the saved setting.
  item("w0_OrderFront:")->trigger();
  EXPECT_EQ(checkBox->checkState(), Qt::Checked);
  checkBox->setCheckState(Qt::Unchecked);
  const int synchronizations = fake.userDefaults.store.synchronizations;
  button("w0_Cancel:")->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(fake.userDefaults.store.synchronizations, synchronizations);
  item("w0_OrderFront:")->trigger();
  EXPECT_EQ(checkBox->checkState(), Qt::Checked);
}

}  // namespace
}  // namespace pomrel::qt::testing

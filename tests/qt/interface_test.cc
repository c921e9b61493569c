// The preferences window of the interface resource, loaded and connected to
// a controller on fakes. (The menu's validation is the end-to-end test's.)
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QMenu>
#include <QPushButton>

#include "app/app_controller.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_bundle.h"
#include "tests/fakes/fakes.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = std::make_unique<AppController>(fake.platform);
    ASSERT_TRUE(loader.load(kBundleResources + "/MainMenu.ui", *controller))
        << loader.errorString().toStdString();
    menu = loader.statusMenu()->qMenu();
    window = qobject_cast<QDialog*>(loader.preferencesWindow()->qWidget());
    checkBox = loader.loginItem()->qCheckBox();
    ASSERT_TRUE(window != nullptr && checkBox != nullptr);
  }
  void TearDown() override {
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

  fakes::FakePlatform fake;
  QtRunLoop loop;
  QtBundle bundle{kBundleResources, {"en"}};
  InterfaceLoader loader{bundle, &loop};
  std::unique_ptr<AppController> controller;
  QMenu* menu = nullptr;
  QDialog* window = nullptr;
  QCheckBox* checkBox = nullptr;
};

// OK saves the box as the setting and brings the login list in line with it,
// whatever other programs did to the list since; a mixed box counts as ticked.
TEST_F(InterfaceTest, ThePreferencesWindowShowsSavesAndCancelsTheSetting) {
  PropertyDictionary& login = fake.userDefaults.store.domains["loginwindow"];
  const auto list = [](PropertyArray entries) {
    return PropertyDictionary{{"AutoLaunchedApplicationDictionary", std::move(entries)}};
  };
  const PropertyValue ours =
      PropertyDictionary{{"Hide", false}, {"Path", "/Applications/Pomrel.app"}};
  const PropertyValue other = PropertyDictionary{{"Hide", true}, {"Path", "/Other.app"}};
  const std::tuple<Qt::CheckState, PropertyArray, bool, PropertyArray> oks[] = {
      {Qt::Unchecked, {ours, other}, false, {other}},
      {Qt::PartiallyChecked, {other}, true, {ours, other}},
      {Qt::Checked, {other}, true, {ours, other}},
  };
  Qt::CheckState shown = Qt::Unchecked;  // a first run
  for (const auto& [state, before, expected, after] : oks) {
    SCOPED_TRACE(state);
    item("w0_OrderFront:")->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(checkBox->checkState(), shown);
    login = list(before);
    checkBox->setCheckState(state);
    button("w0_Ok:")->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(
        fake.userDefaults.store.domains[fakes::FakeUserDefaults::kApplication]["AddLoginItem"],
        PropertyValue(expected));
    EXPECT_EQ(login, list(after));
    shown = expected ? Qt::Checked : Qt::Unchecked;
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

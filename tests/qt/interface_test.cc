// The interface resource loaded and connected to a controller on fakes: its
// outlets, its actions, the status menu's validation and the preferences
// window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_bundle.h"
#include "tests/fakes/fakes.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

const QString kResource = kBundleResources + QStringLiteral("/MainMenu.ui");

class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.fileManager.paths.insert(kSxSPluginPath);
    controller = std::make_unique<AppController>(fake.platform);
    ASSERT_TRUE(loader.load(kResource, *controller)) << loader.errorString().toStdString();
    menu = loader.statusMenu()->qMenu();
    window = qobject_cast<QDialog*>(loader.preferencesWindow()->qWidget());
    checkBox = loader.loginItem()->qCheckBox();
  }
  void TearDown() override {
    if (menu != nullptr) menu->hide();
    controller.reset();  // before the loader that holds its outlets
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_TRUE(loop.inDefaultMode());
  }

  QAction* item(const char* selector) const {
    for (QAction* action : menu->actions()) {
      if (action->property("action").toString() == QLatin1String(selector)) return action;
    }
    ADD_FAILURE() << "no item for " << selector;
    return nullptr;
  }
  QPushButton* button(const char* selector) const {
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
      if (b->property("action").toString() == QLatin1String(selector)) return b;
    }
    ADD_FAILURE() << "no button for " << selector;
    return nullptr;
  }
  void openMenu() { menu->popup(QPoint(0, 0)); }
  void closeMenu() { menu->hide(); }
  void insertCard() { fake.registry.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, "disk2"}}); }
  void pullCard() { fake.registry.terminateAll(kSxSMediaServiceName); }
  [[nodiscard]] std::optional<bool> storedSetting() const {
    const auto& domain = fake.userDefaults.store.applicationDomain;
    const auto found = domain.find("AddLoginItem");
    if (found == domain.end() || found->second.boolean() == nullptr) return std::nullopt;
    return *found->second.boolean();
  }
  [[nodiscard]] std::size_t loginEntries() const {
    const auto& domains = fake.userDefaults.store.domains;
    const auto found = domains.find("loginwindow");
    if (found == domains.end()) return 0;
    const auto list = found->second.find("AutoLaunchedApplicationDictionary");
    if (list == found->second.end() || list->second.array() == nullptr) return 0;
    return list->second.array()->size();
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

TEST_F(InterfaceTest, TheResourceConnectsTheOutletsWithTranslatedTexts) {
  EXPECT_EQ(controller->m0_StatusBar, loader.statusMenu());
  EXPECT_EQ(controller->w0_Window, loader.preferencesWindow());
  EXPECT_EQ(controller->w0_LoginItem, loader.loginItem());
  ASSERT_NE(window, nullptr);
  ASSERT_NE(checkBox, nullptr);
  EXPECT_TRUE(window->isWindow());
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(loader.root()->isVisible());

  std::vector<std::string> actions;
  for (const auto& i : loader.statusMenu()->items()) actions.push_back(i->action());
  EXPECT_EQ(actions, (std::vector<std::string>{
                         "disableMedia:", "enableMedia:", "w0_OrderFront:", "terminate:"}));
  EXPECT_EQ(menu->actions().size(), 5) << "four items and a separator";

  const auto text = [this](const char* key) {
    return QString::fromStdString(bundle.localizedStringForKey(key));
  };
  EXPECT_EQ(item("disableMedia:")->text(), text("MENU_Disable"));
  EXPECT_NE(item("disableMedia:")->text(), "MENU_Disable");
  EXPECT_EQ(item("terminate:")->text(), text("MENU_Quit"));
  EXPECT_EQ(window->windowTitle(), text("WINDOW_Title"));
  EXPECT_EQ(checkBox->text(), text("WINDOW_LoginItem"));
  EXPECT_EQ(button("w0_Ok:")->text(), text("BUTTON_OK"));
  EXPECT_TRUE(button("w0_Ok:")->isDefault());
  EXPECT_EQ(item("disableMedia:")->property("action").toString(), "disableMedia:")
      << "selectors are not translated";
}

TEST_F(InterfaceTest, EachOpeningValidatesTheControllersItemsAfresh) {
  // Validation decides the enabled state of the controller's items only.
  item("w0_OrderFront:")->setEnabled(false);
  item("terminate:")->setEnabled(false);

  openMenu();
  EXPECT_FALSE(loop.inDefaultMode());
  EXPECT_FALSE(item("disableMedia:")->isEnabled()) << "no card";
  EXPECT_TRUE(item("enableMedia:")->isEnabled());
  EXPECT_TRUE(item("w0_OrderFront:")->isEnabled());
  EXPECT_FALSE(item("terminate:")->isEnabled()) << "Quit's target is the application";
  closeMenu();
  EXPECT_TRUE(loop.inDefaultMode());

  insertCard();
  openMenu();
  EXPECT_TRUE(item("disableMedia:")->isEnabled());
  EXPECT_FALSE(item("enableMedia:")->isEnabled());
  closeMenu();

  pullCard();
  openMenu();
  EXPECT_FALSE(item("disableMedia:")->isEnabled());
  EXPECT_TRUE(item("enableMedia:")->isEnabled());
  closeMenu();
}

TEST_F(InterfaceTest, TriggeringAnItemSendsItsActionToTheController) {
  fake.fileManager.paths.clear();  // no driver: both commands stop with an alert
  item("disableMedia:")->trigger();
  item("enableMedia:")->trigger();

  EXPECT_EQ(fake.application.activations, 2);
  ASSERT_EQ(fake.application.alerts.size(), 2U);
  EXPECT_EQ(fake.application.alerts[0].message, "MSG_NotInstall");
  EXPECT_EQ(fake.application.alerts[1].message, "MSG_NotInstall");
  EXPECT_EQ(fake.authorization.prompts, 0);
}

TEST_F(InterfaceTest, LaunchPutsTheMenuOnTheStatusItem) {
  controller->applicationDidFinishLaunching(nullptr);
  ASSERT_EQ(fake.statusBar.items.size(), 1U);
  const auto statusItem = fake.statusBar.items[0].lock();
  ASSERT_NE(statusItem, nullptr);
  EXPECT_EQ(statusItem->menu, loader.statusMenu());
}

TEST_F(InterfaceTest, ThePreferencesWindowShowsSavesAndCancelsTheSetting) {
  item("w0_OrderFront:")->trigger();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(checkBox->checkState(), Qt::Unchecked) << "first run";

  checkBox->setCheckState(Qt::Checked);
  button("w0_Ok:")->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(storedSetting(), std::optional<bool>(true));
  EXPECT_EQ(loginEntries(), 1U);

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

  checkBox->setCheckState(Qt::Unchecked);
  button("w0_Ok:")->click();
  EXPECT_EQ(storedSetting(), std::optional<bool>(false));
  EXPECT_EQ(loginEntries(), 0U);

  // A mixed check box counts as ticked.
  item("w0_OrderFront:")->trigger();
  checkBox->setCheckState(Qt::PartiallyChecked);
  button("w0_Ok:")->click();
  EXPECT_EQ(storedSetting(), std::optional<bool>(true));
  EXPECT_EQ(loginEntries(), 1U);
}

TEST(InterfaceLoaderTest, AResourceWithoutItsOutletsIsRefusedAndTouchesNothing) {
  fakes::FakePlatform fake;
  QtBundle bundle(kBundleResources, {"en"});
  AppController controller(fake.platform);

  InterfaceLoader missing(bundle, nullptr);
  EXPECT_FALSE(missing.load(QStringLiteral("/nonexistent/MainMenu.ui"), controller));
  EXPECT_FALSE(missing.errorString().isEmpty());

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile file(dir.filePath("Partial.ui"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "<ui version=\"4.0\"><class>Partial</class>"
      "<widget class=\"QMainWindow\" name=\"Partial\">"
      "<widget class=\"QWidget\" name=\"centralwidget\"/>"
      "<widget class=\"QMenuBar\" name=\"menubar\">"
      "<widget class=\"QMenu\" name=\"m0_StatusBar\"/></widget>"
      "</widget></ui>");
  file.close();
  InterfaceLoader partial(bundle, nullptr);
  EXPECT_FALSE(partial.load(dir.filePath("Partial.ui"), controller));
  EXPECT_TRUE(partial.errorString().contains("w0_Window"));
  EXPECT_EQ(controller.m0_StatusBar, nullptr);
  EXPECT_EQ(controller.w0_Window, nullptr);
  EXPECT_EQ(controller.w0_LoginItem, nullptr);
}

}  // namespace
}  // namespace pomrel::qt::testing

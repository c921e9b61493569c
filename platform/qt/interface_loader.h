// Loads the main interface resource and connects it to the application
// controller, as the platform's interface loader does for the main nib.
#pragma once

#include <QString>
#include <memory>

#include "platform/bundle.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/qt_window.h"

class QCheckBox;
class QDialog;
class QWidget;

namespace pomrel {
class AppController;
}

namespace pomrel::qt {

// The resource is a Qt Designer file whose one top-level widget is never
// shown; it holds:
// - the status menu "m0_StatusBar" (a QMenu);
// - the preferences window "w0_Window" (a QDialog) with its check box
//   "w0_LoginItem" (a QCheckBox).
// Each menu item (QAction) and button names its action in selector form in
// the dynamic string property "action" ("disableMedia:"). Its target is the
// controller, unless the property "target" is "application", whose only
// action is "terminate:" (quit). Every text of the resource is a key of the
// bundle's localized strings; strings marked untranslatable stay as written.
class InterfaceLoader {
 public:
  // `runLoop` (may be null) leaves its default mode while the menu is open.
  InterfaceLoader(Bundle& bundle, QtRunLoop* runLoop);
  ~InterfaceLoader();
  InterfaceLoader(const InterfaceLoader&) = delete;
  InterfaceLoader& operator=(const InterfaceLoader&) = delete;

  // Loads the resource at `path` and connects `controller`:
  // - its outlets m0_StatusBar, w0_Window and w0_LoginItem to adapters of the
  //   objects of those names;
  // - every item and button whose action the controller responds to, to
  //   that action with the item or button (its QObject) as the sender; an item
  //   whose action it does not respond to is disabled;
  // - the status menu's validation to the controller, for the items whose
  //   target it is.
  // False (with errorString() saying why, and the controller untouched) when
  // the resource cannot be loaded or lacks one of the outlets. Loads once.
  // `controller` must outlive the loader or be disconnected by its
  // destruction order: destroy the controller first, then the loader.
  bool load(const QString& path, AppController& controller);

  [[nodiscard]] const QString& errorString() const { return error_; }

  // Valid after a successful load.
  [[nodiscard]] QWidget* root() const { return root_.get(); }
  [[nodiscard]] QtMenu* statusMenu() const { return menu_.get(); }
  [[nodiscard]] QtWindow* preferencesWindow() const { return window_.get(); }
  [[nodiscard]] QtCheckBox* loginItem() const { return loginItem_.get(); }

 private:
  Bundle& bundle_;
  QtRunLoop* runLoop_;
  QString error_;
  // Destroyed after the adapters, which refer to its widgets.
  std::unique_ptr<QWidget> root_;
  std::unique_ptr<QtMenu> menu_;
  std::unique_ptr<QtWindow> window_;
  std::unique_ptr<QtCheckBox> loginItem_;
};

}  // namespace pomrel::qt

// The administrator prompt of the simulated machine, as a modal Qt dialog.
#pragma once

#include "platform/bundle.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/sim/credentials_prompt.h"

namespace pomrel::qt {

// Asks for an administrator's name (pre-filled) and password, with Cancel
// and OK. After a wrong try it says so and shows the attempt's number. The
// run loop is out of its default mode while the dialog is up. The texts are
// the bundle's (keys PROMPT_*, BUTTON_OK, BUTTON_Cancel).
//
// The password is handed back and then wiped from the dialog's fields and
// from the copies this class made. Qt's line edit may have held transient
// copies of its own (for example while the text was being typed), which are
// out of reach.
class QtCredentialsPrompt final : public sim::CredentialsPrompt {
 public:
  // Object names, for tests and tools that drive the dialog.
  static constexpr const char* kDialogName = "pomrel_credentials_prompt";
  static constexpr const char* kNameFieldName = "pomrel_admin_name";
  static constexpr const char* kPasswordFieldName = "pomrel_admin_password";
  static constexpr const char* kRetryNoteName = "pomrel_retry_note";

  // `runLoop` may be null.
  QtCredentialsPrompt(Bundle& bundle, QtRunLoop* runLoop);

  std::optional<sim::Credentials> ask(const std::string& defaultName, int attempt) override;

 private:
  Bundle& bundle_;
  QtRunLoop* runLoop_;
};

}  // namespace pomrel::qt

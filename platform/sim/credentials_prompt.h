// Asking the person at the machine for an administrator's name and password.
#pragma once

#include <optional>
#include <string>

namespace pomrel::sim {

struct Credentials {
  std::string name;
  std::string password;
};

class CredentialsPrompt {
 public:
  virtual ~CredentialsPrompt() = default;

  // Shows the prompt and blocks until it is answered. The name field starts
  // as `defaultName`; `attempt` counts from 1 to 3, and above 1 tells the
  // person that the previous try was wrong. nullopt when they cancel. The
  // caller wipes the returned password as soon as it has been checked; an
  // implementation keeps no copy of it beyond the return.
  virtual std::optional<Credentials> ask(const std::string& defaultName, int attempt) = 0;
};

}  // namespace pomrel::sim

// User defaults: the application's own settings and named persistent domains
// of the current user.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/property_list.h"

namespace pomrel {

// One view of the user's defaults. Changes are held in memory until
// `synchronize`; several objects over the same domains may exist at once.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  // The boolean under `key` in the application's domain; false when absent
  // or not a boolean or number.
  virtual bool boolForKey(const std::string& key) = 0;
  virtual void setBoolForKey(bool value, const std::string& key) = 0;

  // The whole persistent domain `name`, or nullopt when there is no such
  // domain (or its stored form cannot be read).
  virtual std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) = 0;
  virtual void removePersistentDomainForName(const std::string& name) = 0;
  virtual void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) = 0;

  // Writes every change held in memory. True when all reached storage.
  virtual bool synchronize() = 0;
};

class UserDefaultsFactory {
 public:
  virtual ~UserDefaultsFactory() = default;
  // The application's shared defaults object.
  virtual std::shared_ptr<UserDefaults> standardUserDefaults() = 0;
  // A fresh defaults object, not the shared one.
  virtual std::shared_ptr<UserDefaults> makeUserDefaults() = 0;
};

}  // namespace pomrel

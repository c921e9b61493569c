#include "tests/fakes/fakes.h"

#include <utility>

namespace pomrel::fakes {

namespace {

class FakeUserDefaults : public UserDefaults {
 public:
  explicit FakeUserDefaults(FakeDefaultsStore& store) : store_(store) {}

  bool boolForKey(const std::string& key) override {
    const PropertyDictionary& from = values_.contains(key) ? values_ : store_.applicationDomain;
    const auto found = from.find(key);
    return found != from.end() && found->second.boolean() != nullptr && *found->second.boolean();
  }
  void setBoolForKey(bool value, const std::string& key) override { values_[key] = value; }
  std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) override {
    if (const auto pending = domains_.find(name); pending != domains_.end()) return pending->second;
    const auto stored = store_.domains.find(name);
    if (stored == store_.domains.end()) return std::nullopt;
    return stored->second;
  }
  void removePersistentDomainForName(const std::string& name) override {
    domains_[name] = std::nullopt;
  }
  void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) override {
    domains_[name] = domain;
  }
  bool synchronize() override {
    ++store_.synchronizations;
    for (auto& [key, value] : std::exchange(values_, {})) store_.applicationDomain[key] = value;
    for (auto& [name, domain] : std::exchange(domains_, {})) {
      if (domain) {
        store_.domains[name] = std::move(*domain);
      } else {
        store_.domains.erase(name);
      }
    }
    return true;
  }

 private:
  FakeDefaultsStore& store_;
  PropertyDictionary values_;
  std::map<std::string, std::optional<PropertyDictionary>> domains_;  // nullopt: removed
};

}  // namespace

std::shared_ptr<UserDefaults> FakeUserDefaultsFactory::standardUserDefaults() {
  if (standard_ == nullptr) standard_ = std::make_shared<FakeUserDefaults>(store);
  return standard_;
}

std::shared_ptr<UserDefaults> FakeUserDefaultsFactory::makeUserDefaults() {
  return std::make_shared<FakeUserDefaults>(store);
}

}  // namespace pomrel::fakes

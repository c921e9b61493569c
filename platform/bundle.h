// The application bundle's resources.
#pragma once

#include <memory>
#include <string>

namespace pomrel {

// An image resource; opaque to the core.
class Image {
 public:
  virtual ~Image() = default;
  [[nodiscard]] virtual std::string name() const = 0;
};

class Bundle {
 public:
  virtual ~Bundle() = default;
  // The image resource named `name` (without extension), or null if the
  // bundle has none.
  virtual std::shared_ptr<Image> imageNamed(const std::string& name) = 0;
  // The localized text of `key` in the default table for the user's
  // language; the key itself when no table has a text for it.
  virtual std::string localizedStringForKey(const std::string& key) = 0;
};

}  // namespace pomrel

#include "platform/posix/plist_xml_check.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pomrel::posix {
namespace {

enum class Element : std::uint8_t {
  kPlist,
  kDict,
  kArray,
  kKey,
  kString,
  kInteger,
  kReal,
  kDate,
  kData,
  kTrue,
  kFalse
};

std::optional<Element> elementNamed(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, Element>, 11> kNames{{
      {"plist", Element::kPlist},
      {"dict", Element::kDict},
      {"array", Element::kArray},
      {"key", Element::kKey},
      {"string", Element::kString},
      {"integer", Element::kInteger},
      {"real", Element::kReal},
      {"date", Element::kDate},
      {"data", Element::kData},
      {"true", Element::kTrue},
      {"false", Element::kFalse},
  }};
  for (const auto& [known, element] : kNames) {
    if (known == name) return element;
  }
  return std::nullopt;
}

bool holdsElements(Element e) {
  return e == Element::kPlist || e == Element::kDict || e == Element::kArray;
}

bool isContainer(Element e) { return e == Element::kDict || e == Element::kArray; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool isBlank(std::string_view text) { return trimmed(text).empty(); }

// Whether all of `text` (not empty) is one number, read into `value`.
template <typename Number, typename... Format>
bool readsWhole(std::string_view text, Number& value, Format... format) {
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, format...);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool isStrictInteger(std::string_view text) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text.front() == '0') {
    return false;  // read as octal
  }
  std::uint64_t magnitude = 0;
  return readsWhole(text, magnitude, base) && (!negative || magnitude <= (std::uint64_t{1} << 63));
}

bool isStrictReal(std::string_view text) {
  text = trimmed(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  double value = 0;
  return readsWhole(text, value);
}

bool isStrictDate(std::string_view text) {
  text = trimmed(text);
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  const auto field = [text](std::size_t at, std::size_t length) {
    int value = 0;
    readsWhole(text.substr(at, length), value);
    return value;
  };
  const int year = field(0, 4);
  const int month = field(5, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12) return false;
  const int days = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leap ? 1 : 0);
  const int day = field(8, 2);
  return day >= 1 && day <= days && field(11, 2) < 24 && field(14, 2) < 60 && field(17, 2) < 60;
}

bool isBase64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool isStrictBase64(std::string_view text) {
  std::size_t count = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (isSpace(c)) continue;
    if (c == '=') {
      ++padding;
    } else if (padding > 0 || !isBase64Letter(c)) {
      return false;
    }
    ++count;
  }
  return count % 4 == 0 && padding <= 2;
}

class Checker {
 public:
  Checker(std::string_view xml, std::size_t maxDepth) : xml_(xml), maxDepth_(maxDepth) {}

  std::optional<std::size_t> run() {
    if (xml_.find('\0') != std::string_view::npos) return std::nullopt;
    std::size_t at = xml_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (at < xml_.size()) {
      const std::size_t open = xml_.find('<', at);
      if (open != at && !text(xml_.substr(at, open - at), false)) return std::nullopt;
      if (open == std::string_view::npos) break;
      const std::optional<std::size_t> next = markup(open);
      if (!next) return std::nullopt;
      at = *next;
    }
    if (!stack_.empty() || !rootDone_) return std::nullopt;
    return keys_;
  }

 private:
  struct Open {
    Element element;
    std::string_view name;
    std::size_t values = 0;      // in <plist>
    bool awaitingValue = false;  // in <dict>: a key was read
    std::string text;
    bool entity = false;  // the text holds an entity reference
  };

  // Handles the markup at `open`; the position after it, or nullopt.
  std::optional<std::size_t> markup(std::size_t open) {
    const std::string_view rest = xml_.substr(open);
    const auto skipTo = [&](std::string_view start, std::string_view end) -> std::size_t {
      const std::size_t found = xml_.find(end, open + start.size());
      return found == std::string_view::npos ? found : found + end.size();
    };
    std::size_t next = std::string_view::npos;
    if (rest.starts_with("<!--")) {
      next = skipTo("<!--", "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      next = skipTo("<![CDATA[", "]]>");
      if (next != std::string_view::npos) {
        const std::size_t start = open + 9;
        if (!text(xml_.substr(start, next - 3 - start), true)) return std::nullopt;
      }
    } else if (rest.starts_with("<?")) {
      next = skipTo("<?", "?>");
    } else if (rest.starts_with("<!")) {
      if (!stack_.empty() || rootDone_) return std::nullopt;
      next = tagEnd(open, true);
    } else {
      next = tagEnd(open, false);
      if (next != std::string_view::npos && !tag(xml_.substr(open + 1, next - open - 2))) {
        return std::nullopt;
      }
    }
    if (next == std::string_view::npos) return std::nullopt;
    return next;
  }

  // The position after the '>' closing the tag at `open`, past quoted
  // attribute values (and, in a declaration, its bracketed internal subset).
  std::size_t tagEnd(std::size_t open, bool declaration) const {
    char quote = 0;
    int depth = 0;
    for (std::size_t i = open + 1; i < xml_.size(); ++i) {
      const char c = xml_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (declaration && c == '[') {
        ++depth;
      } else if (declaration && c == ']') {
        --depth;
      } else if (c == '>' && depth <= 0) {
        return i + 1;
      }
    }
    return std::string_view::npos;
  }

  bool tag(std::string_view inside) {
    if (inside.starts_with("/")) return end(trimmed(inside.substr(1)));
    const bool empty = inside.ends_with("/");
    if (empty) inside.remove_suffix(1);
    std::string_view name = inside.substr(0, inside.find_first_of(" \t\r\n"));
    return start(name) && (!empty || end(name));
  }

  bool start(std::string_view name) {
    const std::optional<Element> element = elementNamed(name);
    if (!element || rootDone_) return false;
    if (stack_.empty()) {
      if (*element == Element::kKey) return false;
    } else {
      Open& parent = stack_.back();
      if (!holdsElements(parent.element) || *element == Element::kPlist) return false;
      const bool isKey = *element == Element::kKey;
      if (parent.element == Element::kPlist) {
        if (isKey || ++parent.values > 1) return false;
      } else if (parent.element == Element::kArray) {
        if (isKey) return false;
      } else {
        // A dictionary alternates keys and values.
        if (isKey == parent.awaitingValue) return false;
        parent.awaitingValue = isKey;
        if (isKey) ++keys_;
      }
    }
    if (isContainer(*element) && ++containers_ > maxDepth_) return false;
    stack_.push_back(Open{*element, name, 0, false, {}, false});
    return true;
  }

  bool end(std::string_view name) {
    if (stack_.empty() || stack_.back().name != name) return false;
    const Open& closing = stack_.back();
    const std::string_view text = closing.text;
    bool valid = true;
    switch (closing.element) {
      case Element::kPlist:
        valid = closing.values == 1;
        break;
      case Element::kDict:
        valid = !closing.awaitingValue;
        break;
      case Element::kInteger:
        valid = !closing.entity && isStrictInteger(text);
        break;
      case Element::kReal:
        valid = !closing.entity && isStrictReal(text);
        break;
      case Element::kDate:
        valid = !closing.entity && isStrictDate(text);
        break;
      case Element::kData:
        valid = !closing.entity && isStrictBase64(text);
        break;
      case Element::kTrue:
      case Element::kFalse:
        valid = !closing.entity && isBlank(text);
        break;
      case Element::kArray:
      case Element::kKey:
      case Element::kString:
        break;
    }
    if (isContainer(closing.element)) --containers_;
    stack_.pop_back();
    if (stack_.empty()) rootDone_ = true;
    return valid;
  }

  // Character data; `cdata` when it came from a CDATA section, where '&' is
  // only a character.
  bool text(std::string_view characters, bool cdata) {
    if (stack_.empty() || holdsElements(stack_.back().element)) return isBlank(characters);
    Open& top = stack_.back();
    top.text.append(characters);
    if (!cdata && characters.find('&') != std::string_view::npos) top.entity = true;
    return true;
  }

  std::string_view xml_;
  std::size_t maxDepth_;
  std::size_t containers_ = 0;  // dictionaries and arrays open
  std::vector<Open> stack_;
  bool rootDone_ = false;
  std::size_t keys_ = 0;
};

}  // namespace

std::optional<std::size_t> strictXmlKeyCount(std::string_view xml, std::size_t maxDepth) {
  return Checker(xml, maxDepth).run();
}

}  // namespace pomrel::posix

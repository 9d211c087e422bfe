#include "platform/system/locale.h"

#include <algorithm>
#include <optional>

#include "platform/system/process.h"

namespace platform {

namespace {

std::optional<std::string> nonEmptyVariable(std::string_view name) {
  std::optional<std::string> value = ProcessInfo::environmentValue(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

}  // namespace

std::string languageTagForLocaleName(std::string_view name) {
  std::string_view base = name.substr(0, name.find_first_of(".@"));
  if (base.empty() || base == "C" || base == "POSIX") return {};
  std::string tag(base);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

std::vector<std::string> preferredLanguages() {
  std::optional<std::string> locale = nonEmptyVariable("LC_ALL");
  if (!locale) locale = nonEmptyVariable("LC_MESSAGES");
  if (!locale) locale = nonEmptyVariable("LANG");
  if (!locale || languageTagForLocaleName(*locale).empty()) return {};

  std::vector<std::string> languages;
  auto add = [&languages](std::string_view name) {
    std::string tag = languageTagForLocaleName(name);
    if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end())
      languages.push_back(std::move(tag));
  };
  if (std::optional<std::string> list = nonEmptyVariable("LANGUAGE")) {
    std::string_view rest = *list;
    while (!rest.empty()) {
      std::size_t colon = rest.find(':');
      add(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  if (languages.empty()) add(*locale);
  return languages;
}

}  // namespace platform

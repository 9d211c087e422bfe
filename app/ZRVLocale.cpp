#include "app/ZRVLocale.h"

#include "platform/system/locale.h"

namespace ZRVLocale {

std::optional<std::string> prefferedLanguage() {
  std::vector<std::string> languages = platform::preferredLanguages();
  if (languages.empty()) return std::nullopt;
  return languageOfTag(languages.front());
}

std::string languageOfTag(std::string_view tag) { return std::string(tag.substr(0, tag.find_first_of("-_"))); }

}  // namespace ZRVLocale

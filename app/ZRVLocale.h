#pragma once

// The application's one addition to the platform's locale: the user's preferred language as a
// bare language code.
//
// Threads: reads the environment (platform/locale.h); any thread, not while setenv runs.

#include <optional>
#include <string>
#include <string_view>

namespace ZRVLocale {

// The language part of the user's first preferred language ("pt-BR" gives "pt", "fil-PH" gives
// "fil", "en" stays "en"); nullopt when the user states no language.
std::optional<std::string> prefferedLanguage();

// The language part of a language tag: everything before the first "-" or "_", whatever its
// length.
std::string languageOfTag(std::string_view tag);

}  // namespace ZRVLocale

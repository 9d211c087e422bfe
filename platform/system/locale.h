#pragma once

// The user's language preferences, as the desktop's environment states them.
//
// Source: the locale in force is the first non-empty of LC_ALL, LC_MESSAGES and LANG. When it is
// unset, "C" or "POSIX" (with or without a codeset) the user has stated no language and the list
// is empty. Otherwise the list is LANGUAGE's colon-separated entries (gettext's ordered
// preferences) when that is set and names any language, else the locale alone.
//
// Each entry becomes a language tag: a POSIX name "language[_territory][.codeset][@modifier]"
// gives "language" or "language-territory" (codeset and modifier dropped: "pt_BR.UTF-8" is
// "pt-BR"); an entry already written as a tag stays as it is. Entries that name no language
// (empty, "C", "POSIX") are left out, and so are repeats.
//
// Threads: read from the environment at each call; may be called from any thread, though not
// while another thread calls setenv (a libc rule).

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The user's preferred languages, most preferred first; empty when none is stated.
std::vector<std::string> preferredLanguages();

// The language tag of one POSIX locale name or tag; empty when it names no language.
std::string languageTagForLocaleName(std::string_view name);

}  // namespace platform

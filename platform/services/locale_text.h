#pragma once

// Locale-aware text on ICU: numbers spelled out in words, and case mapping.
//
// Limits: spelled-out numbers cover the whole signed 64-bit range; an unknown locale falls back
// to ICU's root rules (which spell out in English).
//
// Threads: every function may be called from any thread; each call uses its own ICU objects.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The number in words, as a number formatter in spell-out style writes it: 3 is "three",
// 21 is "twenty-one" in English. An empty locale means the default one.
std::string spellOutNumber(std::int64_t value, std::string_view localeIdentifier = {});

// Lower case by the Unicode rules that do not depend on a language ("JAN" -> "jan").
std::string lowercaseString(std::string_view text);

}  // namespace platform

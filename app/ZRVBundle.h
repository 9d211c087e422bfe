#pragma once

// The application's identity.

#include <string_view>

// The application's reverse-domain identifier, the same as in resources/Info.plist: the identifier
// of its system-log entries, and the head of the names it gives its own error domains.
inline constexpr std::string_view ZRVBundleIdentifier = "org.zorvel.Zorvel";

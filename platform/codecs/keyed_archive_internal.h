#pragma once

#ifndef ZORVEL_INTERNAL_platform
#error "platform/keyed_archive_internal.h is internal to the platform layer"
#endif

// Shared by the keyed archiver and unarchiver (keyed_archiver.cpp, keyed_unarchiver.cpp): the form
// in which archives hold text that is not ASCII.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::detail {

// Appends the UTF-16 big-endian units of the text, each invalid sequence read as text.h reads it
// (one U+FFFD per maximal invalid subsequence); returns the number of units. The unarchiver finds
// keys by these bytes, so both halves must make them the same way.
std::size_t appendUtf16BE(std::string& out, std::string_view utf8);

}  // namespace platform::detail

#pragma once

// Text helpers for UTF-8 std::string with the platform's semantics: lengths and indexes count
// UTF-16 code units, as the platform's strings did. Invalid UTF-8 never crashes anything here: each
// maximal invalid subsequence reads as one U+FFFD (which is one UTF-16 unit).
// All functions are pure and thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// "Not found" for indexes and range locations: the largest signed 64-bit value.
inline constexpr std::size_t kNotFound = static_cast<std::size_t>(INT64_MAX);

// A range of UTF-16 code units (or of any indexes), location and length.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;
  constexpr std::size_t end() const { return location + length; }
  constexpr bool contains(std::size_t index) const { return index >= location && index < end(); }
  constexpr bool operator==(const Range&) const = default;
};

// --- UTF-8 / UTF-16 ---

// Reads the code point starting at byte `pos` and advances `pos` past it (at least one byte).
// Invalid or truncated sequences, surrogates and overlong forms give U+FFFD.
char32_t decodeUtf8(std::string_view s, std::size_t& pos);
void appendUtf8(std::string& out, char32_t codePoint);  // invalid code points append U+FFFD
bool isValidUtf8(std::string_view s);
// The text with every invalid sequence replaced by U+FFFD.
std::string sanitizedUtf8(std::string_view s);

std::u16string toUtf16(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string fromUtf16(std::u16string_view s);

// Number of UTF-16 code units.
std::size_t utf16Length(std::string_view s);
// Byte offset of the code unit at `utf16Index`; an index inside a surrogate pair maps to the start
// of that character; indexes past the end map to s.size().
std::size_t utf8OffsetForUtf16Index(std::string_view s, std::size_t utf16Index);
// UTF-16 index of the character containing byte `byteOffset` (clamped to the length).
std::size_t utf16IndexForUtf8Offset(std::string_view s, std::size_t byteOffset);
// The text of a UTF-16 range, clamped to the string (a range that splits a surrogate pair takes
// the whole character at its start and stops before the one at its end).
std::string substringWithUtf16Range(std::string_view s, Range range);
std::string substringFromUtf16Index(std::string_view s, std::size_t utf16Index);
std::string substringToUtf16Index(std::string_view s, std::size_t utf16Index);

// The UTF-16 range of the user-perceived character (grapheme cluster: base plus combining marks,
// emoji sequences, flags) containing `utf16Index`. An index at or past the end gives
// {length, 0}.
Range rangeOfComposedCharacterSequenceAtIndex(std::string_view s, std::size_t utf16Index);
// The smallest range of whole composed character sequences covering `range` (clamped).
Range rangeOfComposedCharacterSequencesForRange(std::string_view s, Range range);

// Case-insensitive comparison with full Unicode case folding ("Straße" equals "STRASSE"):
// negative, zero or positive, ordering by folded UTF-16 code units.
int compareCaseInsensitive(std::string_view a, std::string_view b);
inline bool equalsCaseInsensitive(std::string_view a, std::string_view b) { return compareCaseInsensitive(a, b) == 0; }

// The text without leading and trailing spaces, tabs, carriage returns and line feeds.
std::string trimmingWhitespace(std::string_view text);

// --- Paths (the platform's string path rules; "/" is the only separator) ---

// "~" or "~/..." expanded with the home folder ($HOME, else the password database); "~user"
// forms are expanded for known users; anything else unchanged.
std::string expandingTildeInPath(std::string_view path);
// Expands a leading "~", removes "." components and repeated "/", resolves ".." lexically
// (".." above the root stays at the root; leading ".." of a relative path stay), and drops a
// trailing "/" (except for "/" itself). Does not touch the file system.
std::string standardizingPath(std::string_view path);
// Components as the platform splits them: "/a/b/" gives {"/", "a", "b", "/"}.
std::vector<std::string> pathComponents(std::string_view path);
// "/a/b.txt" -> "b.txt"; "/a/b/" -> "b"; "/" -> "/"; "" -> "".
std::string lastPathComponent(std::string_view path);
// "/a/b.txt" -> "txt"; "/a/.hidden" -> ""; "/a.d/b" -> "".
std::string pathExtension(std::string_view path);
// "/a/b.txt" -> "/a"; "/a" -> "/"; "a" -> ""; "/" -> "/".
std::string deletingLastPathComponent(std::string_view path);
// "/a/b.txt" -> "/a/b"; "/a/.hidden" -> "/a/.hidden"; trailing "/" dropped.
std::string deletingPathExtension(std::string_view path);
// Joins with exactly one "/" and drops a trailing "/" of the result: ("/a/", "b") -> "/a/b";
// ("", "b") -> "b".
std::string appendingPathComponent(std::string_view path, std::string_view component);
// ("/a/b", "txt") -> "/a/b.txt"; ("/a/b/", "txt") -> "/a/b.txt". An empty extension gives
// path + "."; an extension containing "/" or a path that is empty or "/" is not extended.
std::string appendingPathExtension(std::string_view path, std::string_view extension);

}  // namespace platform

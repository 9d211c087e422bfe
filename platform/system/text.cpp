#include "platform/system/text.h"

#include <pwd.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform {

// ---------------------------------------------------------------------------------------------
// UTF-8 / UTF-16

char32_t decodeUtf8(std::string_view s, std::size_t& pos) {
  constexpr char32_t kReplacement = 0xFFFD;
  if (pos >= s.size()) {
    ++pos;
    return kReplacement;
  }
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int extra;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    extra = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    extra = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    ++pos;
    return kReplacement;
  }
  std::size_t k = pos + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    unsigned char allowedLo = n == 0 ? lo : 0x80, allowedHi = n == 0 ? hi : 0xBF;
    if (k >= s.size() || byte(k) < allowedLo || byte(k) > allowedHi) {
      pos = k;  // the maximal invalid subsequence becomes one replacement character
      return kReplacement;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  pos = k;
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool isValidUtf8(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();) {
    std::size_t start = pos;
    char32_t c = decodeUtf8(s, pos);
    // A genuine U+FFFD takes three bytes (EF BF BD); a replacement for bad input never does.
    if (c == 0xFFFD && !(pos - start == 3 && static_cast<unsigned char>(s[start]) == 0xEF)) return false;
  }
  return true;
}

std::string sanitizedUtf8(std::string_view s) {
  if (isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  for (std::size_t pos = 0; pos < s.size();) appendUtf8(out, decodeUtf8(s, pos));
  return out;
}

std::u16string toUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) {
    char32_t c = decodeUtf8(s, pos);
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return out;
}

std::string fromUtf16(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t k = 0; k < s.size(); ++k) {
    char32_t c = s[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < s.size() && s[k + 1] >= 0xDC00 && s[k + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[k + 1] - 0xDC00);
      ++k;
    }
    appendUtf8(out, c);  // a lone surrogate becomes U+FFFD
  }
  return out;
}

std::size_t utf16Length(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < s.size();) n += decodeUtf8(s, pos) >= 0x10000 ? 2 : 1;
  return n;
}

std::size_t utf8OffsetForUtf16Index(std::string_view s, std::size_t utf16Index) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    std::size_t start = pos;
    std::size_t width = decodeUtf8(s, pos) >= 0x10000 ? 2 : 1;
    if (utf16Index < units + width) return start;
    units += width;
  }
  return s.size();
}

std::size_t utf16IndexForUtf8Offset(std::string_view s, std::size_t byteOffset) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    std::size_t start = pos;
    std::size_t width = decodeUtf8(s, pos) >= 0x10000 ? 2 : 1;
    if (byteOffset >= start && byteOffset < pos) return units;
    units += width;
  }
  return units;
}

std::string substringWithUtf16Range(std::string_view s, Range range) {
  std::size_t begin = utf8OffsetForUtf16Index(s, range.location);
  std::size_t endIndex = range.length > kNotFound ? kNotFound : range.location + range.length;
  if (endIndex < range.location) endIndex = kNotFound;  // overflow
  std::size_t end = utf8OffsetForUtf16Index(s, endIndex);
  if (end < begin) end = begin;
  return std::string(s.substr(begin, end - begin));
}

std::string substringFromUtf16Index(std::string_view s, std::size_t utf16Index) {
  return std::string(s.substr(utf8OffsetForUtf16Index(s, utf16Index)));
}

std::string substringToUtf16Index(std::string_view s, std::size_t utf16Index) {
  return std::string(s.substr(0, utf8OffsetForUtf16Index(s, utf16Index)));
}

namespace {

// Grapheme cluster boundaries of a UTF-16 string, first (0) and last (length) included.
std::vector<std::size_t> characterBoundaries(const std::u16string& text) {
  std::vector<std::size_t> boundaries;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    // Without ICU data fall back to code points.
    for (std::size_t k = 0; k <= text.size(); ++k)
      if (k == text.size() || !(text[k] >= 0xDC00 && text[k] <= 0xDFFF && k > 0)) boundaries.push_back(k);
    return boundaries;
  }
  icu::UnicodeString ustr(false, text.data(), static_cast<int32_t>(text.size()));
  it->setText(ustr);
  for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next())
    boundaries.push_back(static_cast<std::size_t>(b));
  return boundaries;
}

}  // namespace

Range rangeOfComposedCharacterSequenceAtIndex(std::string_view s, std::size_t utf16Index) {
  std::u16string text = toUtf16(s);
  if (utf16Index >= text.size()) return {text.size(), 0};
  std::vector<std::size_t> b = characterBoundaries(text);
  auto next = std::upper_bound(b.begin(), b.end(), utf16Index);
  std::size_t end = next == b.end() ? text.size() : *next;
  std::size_t start = next == b.begin() ? 0 : *(next - 1);
  return {start, end - start};
}

Range rangeOfComposedCharacterSequencesForRange(std::string_view s, Range range) {
  std::u16string text = toUtf16(s);
  std::size_t location = std::min(range.location, text.size());
  std::size_t last = range.length > text.size() - location ? text.size() : location + range.length;
  std::vector<std::size_t> b = characterBoundaries(text);
  auto startIt = std::upper_bound(b.begin(), b.end(), location);
  std::size_t start = startIt == b.begin() ? 0 : *(startIt - 1);
  if (last == location) return {start, 0};
  auto endIt = std::lower_bound(b.begin(), b.end(), last);
  std::size_t end = endIt == b.end() ? text.size() : *endIt;
  return {start, end - start};
}

int compareCaseInsensitive(std::string_view a, std::string_view b) {
  std::u16string ua = toUtf16(a), ub = toUtf16(b);
  icu::UnicodeString fa(false, ua.data(), static_cast<int32_t>(ua.size()));
  icu::UnicodeString fb(false, ub.data(), static_cast<int32_t>(ub.size()));
  fa.foldCase(U_FOLD_CASE_DEFAULT);
  fb.foldCase(U_FOLD_CASE_DEFAULT);
  int8_t r = fa.compareCodePointOrder(fb);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

std::string trimmingWhitespace(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

// ---------------------------------------------------------------------------------------------
// Paths

namespace {

std::string homeFolder(std::string_view user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
  }
  std::string name(user);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (user.empty())
    getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result);
  else
    getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &result);
  if (result && result->pw_dir) return result->pw_dir;
  return {};
}

std::string dropTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

// Position of the extension's dot in the last component, or npos.
std::size_t extensionDot(std::string_view path) {
  std::string last = lastPathComponent(path);
  std::size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || last == "/") return std::string::npos;
  std::string trimmed = dropTrailingSlashes(path);
  return trimmed.size() - (last.size() - dot);
}

}  // namespace

std::string expandingTildeInPath(std::string_view path) {
  if (path.empty() || path[0] != '~') return std::string(path);
  std::size_t slash = path.find('/');
  std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
  std::string home = homeFolder(user);
  if (home.empty()) return std::string(path);
  std::string rest(slash == std::string_view::npos ? std::string_view() : path.substr(slash));
  return dropTrailingSlashes(home + rest);
}

std::string standardizingPath(std::string_view input) {
  std::string path = expandingTildeInPath(input);
  if (path.empty()) return path;
  bool absolute = path[0] == '/';
  std::vector<std::string> parts;
  std::size_t k = 0;
  while (k < path.size()) {
    std::size_t slash = path.find('/', k);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(k, slash - k);
    k = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        continue;
      }
      if (absolute) continue;  // nothing above the root
    }
    parts.push_back(std::move(part));
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t n = 0; n < parts.size(); ++n) {
    if (n) out += '/';
    out += parts[n];
  }
  if (out.empty()) return absolute ? "/" : ".";
  return out;
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> out;
  if (path.empty()) return out;
  if (path[0] == '/') out.emplace_back("/");
  std::size_t k = 0;
  while (k < path.size()) {
    std::size_t slash = path.find('/', k);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > k) out.emplace_back(path.substr(k, slash - k));
    k = slash + 1;
  }
  if (path.size() > 1 && path.back() == '/') out.emplace_back("/");
  return out;
}

std::string lastPathComponent(std::string_view path) {
  std::string trimmed = dropTrailingSlashes(path);
  if (trimmed == "/") return trimmed;
  std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string pathExtension(std::string_view path) {
  std::size_t dot = extensionDot(path);
  if (dot == std::string::npos) return {};
  return dropTrailingSlashes(path).substr(dot + 1);
}

std::string deletingLastPathComponent(std::string_view path) {
  std::string trimmed = dropTrailingSlashes(path);
  if (trimmed == "/") return trimmed;
  std::size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return {};
  std::string head = trimmed.substr(0, slash);
  while (head.size() > 1 && head.back() == '/') head.pop_back();
  return head.empty() ? "/" : head;
}

std::string deletingPathExtension(std::string_view path) {
  std::string trimmed = dropTrailingSlashes(path);
  std::size_t dot = extensionDot(path);
  return dot == std::string::npos ? trimmed : trimmed.substr(0, dot);
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  std::string base(path);
  while (!base.empty() && base.back() == '/') base.pop_back();
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  std::string out;
  if (base.empty())
    out = (!path.empty() ? "/" : "") + std::string(component);
  else
    out = component.empty() ? base : base + "/" + std::string(component);
  // Collapse repeated slashes inside the appended part and drop a trailing one.
  std::string collapsed;
  for (char c : out)
    if (!(c == '/' && !collapsed.empty() && collapsed.back() == '/')) collapsed.push_back(c);
  return dropTrailingSlashes(collapsed);
}

std::string appendingPathExtension(std::string_view path, std::string_view extension) {
  std::string trimmed = dropTrailingSlashes(path);
  if (trimmed.empty() || trimmed == "/" || extension.find('/') != std::string_view::npos) return std::string(path);
  return trimmed + "." + std::string(extension);
}

}  // namespace platform

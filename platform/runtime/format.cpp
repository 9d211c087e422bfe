#include "platform/runtime/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system/text.h"

namespace platform {

namespace {

// Widths and precisions beyond this are clamped so a hostile format cannot exhaust memory.
constexpr int kMaxWidth = 1 << 16;

struct Spec {
  std::string flags;  // subset of "-+ #0"
  int width = -1;
  int precision = -1;
  std::string length;  // "hh", "h", "l", "ll", ...
  char conversion = 0;
  bool leftAlign() const { return flags.find('-') != std::string::npos; }
};

std::string hexAddress(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return buf;
}

// Signed value of an integer argument, reinterpreted within its own width as C would.
std::int64_t signedValue(const FormatArg& a) {
  if (a.kind == FormatArg::Kind::Signed || a.kind == FormatArg::Kind::Char) return a.i;
  std::uint64_t u = a.u;
  switch (a.size) {
    case 1:
      return static_cast<std::int8_t>(u);
    case 2:
      return static_cast<std::int16_t>(u);
    case 4:
      return static_cast<std::int32_t>(u);
    default:
      return static_cast<std::int64_t>(u);
  }
}

std::uint64_t unsignedValue(const FormatArg& a) {
  if (a.kind == FormatArg::Kind::Unsigned) return a.u;
  std::uint64_t u = static_cast<std::uint64_t>(a.i);
  switch (a.size) {
    case 1:
      return u & 0xFFu;
    case 2:
      return u & 0xFFFFu;
    case 4:
      return u & 0xFFFFFFFFu;
    default:
      return u;
  }
}

bool isInteger(const FormatArg& a) {
  return a.kind == FormatArg::Kind::Signed || a.kind == FormatArg::Kind::Unsigned || a.kind == FormatArg::Kind::Char;
}

// What "%@" and "%s" print for an argument.
std::string describe(const FormatArg& a) {
  switch (a.kind) {
    case FormatArg::Kind::None:
      return {};
    case FormatArg::Kind::Signed:
      return std::to_string(a.i);
    case FormatArg::Kind::Unsigned:
      return std::to_string(a.u);
    case FormatArg::Kind::Char: {
      std::string s;
      appendUtf8(s, static_cast<char32_t>(a.i));
      return s;
    }
    case FormatArg::Kind::Double:
      return Value(a.d).description();  // a number's description, as %@ of a boxed double
    case FormatArg::Kind::CString:
      return a.cstring ? sanitizedUtf8(a.cstring) : "(null)";
    case FormatArg::Kind::String:
      return std::string(a.text);
    case FormatArg::Kind::Value:
      return a.value->description();
    case FormatArg::Kind::Object:
      return a.object ? a.object->description() : "(null)";
    case FormatArg::Kind::Pointer:
      return a.pointer ? hexAddress(a.pointer) : "(null)";
    case FormatArg::Kind::Described:
      return a.describe(a.pointer);
  }
  return {};
}

// Pads to the width, counting UTF-16 units as the platform's strings do.
std::string pad(std::string s, const Spec& spec, bool zeroAllowed = false) {
  if (spec.width < 0) return s;
  std::size_t length = utf16Length(s);
  std::size_t width = static_cast<std::size_t>(spec.width);
  if (length >= width) return s;
  std::size_t fill = width - length;
  if (spec.leftAlign()) return s + std::string(fill, ' ');
  bool zero = zeroAllowed && spec.flags.find('0') != std::string::npos;
  return std::string(fill, zero ? '0' : ' ') + s;
}

// A text argument with precision (maximum UTF-16 units, never splitting a character) and width.
std::string formatText(std::string s, const Spec& spec) {
  if (spec.precision >= 0 && utf16Length(s) > static_cast<std::size_t>(spec.precision))
    s = substringToUtf16Index(s, static_cast<std::size_t>(spec.precision));
  return pad(std::move(s), spec);
}

template <class T>
std::string cFormat(const Spec& spec, const char* length, char conversion, T value) {
  std::string f = "%" + spec.flags;
  if (spec.width >= 0) f += std::to_string(spec.width);
  if (spec.precision >= 0) f += "." + std::to_string(spec.precision);
  f += length;
  f += conversion;
  int n = std::snprintf(nullptr, 0, f.c_str(), value);
  if (n < 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), f.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string formatSigned(std::int64_t v, const Spec& spec) {
  if (spec.length == "hh") v = static_cast<std::int8_t>(v);
  if (spec.length == "h") v = static_cast<std::int16_t>(v);
  return cFormat(spec, "ll", 'd', static_cast<long long>(v));
}

std::string formatUnsigned(std::uint64_t v, const Spec& spec) {
  if (spec.length == "hh") v = static_cast<std::uint8_t>(v);
  if (spec.length == "h") v = static_cast<std::uint16_t>(v);
  return cFormat(spec, "ll", spec.conversion, static_cast<unsigned long long>(v));
}

std::string formatOne(const Spec& spec, const FormatArg& a) {
  using K = FormatArg::Kind;
  switch (spec.conversion) {
    case 'd':
    case 'i':
    case 'D':
      if (isInteger(a)) return formatSigned(signedValue(a), spec);
      if (a.kind == K::Double)
        return formatSigned(static_cast<std::int64_t>(std::isfinite(a.d) && std::fabs(a.d) < 9.2e18 ? a.d : 0), spec);
      return formatText(describe(a), spec);
    case 'u':
    case 'U':
    case 'x':
    case 'X':
    case 'o':
    case 'O': {
      Spec s = spec;
      if (s.conversion == 'U') s.conversion = 'u';
      if (s.conversion == 'O') s.conversion = 'o';
      if (isInteger(a)) return formatUnsigned(unsignedValue(a), s);
      if (a.kind == K::Pointer || a.kind == K::Object)
        return formatUnsigned(reinterpret_cast<std::uintptr_t>(a.pointer), s);
      return formatText(describe(a), spec);
    }
    case 'c':
    case 'C':
      if (isInteger(a)) {
        std::string s;
        std::uint64_t cp = a.kind == K::Unsigned ? a.u : static_cast<std::uint64_t>(a.i);
        if (cp != 0) appendUtf8(s, static_cast<char32_t>(std::min<std::uint64_t>(cp, 0x110000)));
        return pad(s, spec);
      }
      return formatText(describe(a), spec);
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      double d;
      if (a.kind == K::Double)
        d = a.d;
      else if (a.kind == K::Signed || a.kind == K::Char)
        d = static_cast<double>(a.i);
      else if (a.kind == K::Unsigned)
        d = static_cast<double>(a.u);
      else
        return formatText(describe(a), spec);
      return cFormat(spec, "", spec.conversion, d);
    }
    case 'p': {
      const void* p = nullptr;
      if (a.kind == K::Pointer || a.kind == K::Object || a.kind == K::Described)
        p = a.pointer;
      else if (a.kind == K::CString)
        p = a.cstring;
      else if (a.kind == K::String)
        p = a.text.data();
      else if (a.kind == K::Value)
        p = a.value->isObject() ? static_cast<const void*>(a.value->asObject().get())
                                : static_cast<const void*>(a.value);
      else if (isInteger(a))
        p = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(unsignedValue(a)));
      else if (a.kind == K::None)
        return pad("", spec);
      return pad(hexAddress(p), spec);
    }
    case 's':
    case 'S':
    case '@':
      return formatText(describe(a), spec);
    default:
      return {};
  }
}

bool parseNumber(std::string_view fmt, std::size_t& k, int& out) {
  if (k >= fmt.size() || fmt[k] < '0' || fmt[k] > '9') return false;
  long long v = 0;
  while (k < fmt.size() && fmt[k] >= '0' && fmt[k] <= '9') {
    v = std::min<long long>(v * 10 + (fmt[k] - '0'), kMaxWidth);
    ++k;
  }
  out = static_cast<int>(v);
  return true;
}

}  // namespace

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args) {
  static const FormatArg missing;
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  std::size_t nextArg = 0;
  auto take = [&](std::size_t index) -> const FormatArg& { return index < args.size() ? args[index] : missing; };
  // Integer value of a "*" argument.
  auto starValue = [&](const FormatArg& a) -> int {
    long long v = 0;
    if (a.kind == FormatArg::Kind::Signed || a.kind == FormatArg::Kind::Char)
      v = signedValue(a);
    else if (a.kind == FormatArg::Kind::Unsigned)
      v = static_cast<long long>(std::min<std::uint64_t>(a.u, kMaxWidth));
    return static_cast<int>(std::clamp<long long>(v, -kMaxWidth, kMaxWidth));
  };

  std::size_t k = 0;
  while (k < fmt.size()) {
    std::size_t percent = fmt.find('%', k);
    if (percent == std::string_view::npos) {
      out.append(fmt.substr(k));
      break;
    }
    out.append(fmt.substr(k, percent - k));
    std::size_t start = percent;
    k = percent + 1;
    if (k >= fmt.size()) {
      out.push_back('%');
      break;
    }
    if (fmt[k] == '%') {
      out.push_back('%');
      ++k;
      continue;
    }

    Spec spec;
    std::size_t argIndex = std::string_view::npos;
    // Positional "n$".
    {
      std::size_t save = k;
      int n;
      if (parseNumber(fmt, k, n) && k < fmt.size() && fmt[k] == '$' && n > 0) {
        argIndex = static_cast<std::size_t>(n - 1);
        ++k;
      } else {
        k = save;
      }
    }
    while (k < fmt.size() && std::strchr("-+ #0'", fmt[k])) {
      if (fmt[k] != '\'' && spec.flags.find(fmt[k]) == std::string::npos) spec.flags.push_back(fmt[k]);
      ++k;
    }
    // "*" takes the width from the next argument, or from "*n$".
    auto star = [&]() -> int {
      ++k;
      std::size_t save = k;
      int n;
      if (parseNumber(fmt, k, n) && k < fmt.size() && fmt[k] == '$' && n > 0) {
        ++k;
        return starValue(take(static_cast<std::size_t>(n - 1)));
      }
      k = save;
      return starValue(take(nextArg++));
    };
    if (k < fmt.size() && fmt[k] == '*') {
      int w = star();
      if (w < 0) {
        if (spec.flags.find('-') == std::string::npos) spec.flags.push_back('-');
        w = -w;
      }
      spec.width = w;
    } else {
      parseNumber(fmt, k, spec.width);
    }
    if (k < fmt.size() && fmt[k] == '.') {
      ++k;
      if (k < fmt.size() && fmt[k] == '*') {
        int p = star();
        spec.precision = p < 0 ? -1 : p;
      } else if (!parseNumber(fmt, k, spec.precision)) {
        spec.precision = 0;
      }
    }
    while (k < fmt.size() && std::strchr("hlqLzjt", fmt[k])) spec.length.push_back(fmt[k++]);
    if (k >= fmt.size()) {
      out.append(fmt.substr(start));  // unfinished conversion: keep it as text
      break;
    }
    spec.conversion = fmt[k++];
    if (!std::strchr("diDuUxXoOcCfFeEgGaApsS@n", spec.conversion)) {
      out.append(fmt.substr(start, k - start));  // unknown conversion: keep it as text
      continue;
    }
    if (argIndex == std::string_view::npos) argIndex = nextArg++;
    if (spec.conversion == 'n') continue;  // never write through an argument
    out += formatOne(spec, take(argIndex));
  }
  return out;
}

}  // namespace platform

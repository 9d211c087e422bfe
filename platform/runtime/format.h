#pragma once

// printf-style formatting with the platform's extensions: "%@" prints a value's or object's
// description (nil as "(null)"), positional arguments ("%2$d", "%1$@") may be mixed with plain
// ones, and every C conversion (d i u x X o c s p f F e E g G a A and %%) with its flags, width,
// precision ("*" too) and length modifiers (hh h l ll q z t j L) is understood.
//
// Arguments are boxed by their C++ type, so a conversion never reads the wrong type: a mismatch
// prints something sensible instead of crashing ("%d" given a string prints the string, "%@" given
// an integer prints the number, "%s" given a Value prints its description), and a missing
// argument prints nothing. Integers print in their own width ("%u" of int -1 is 4294967295);
// "hh" and "h" narrow further as in C. Thread-safe: no shared state.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// One boxed argument of format(). Holds pointers into the caller's arguments, so it lives only
// for the duration of the call.
struct FormatArg {
  enum class Kind { None, Signed, Unsigned, Char, Double, CString, String, Value, Object, Pointer, Described };
  Kind kind = Kind::None;
  int size = 0;  // byte width of the original integer
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  std::string_view text;
  const char* cstring = nullptr;
  const platform::Value* value = nullptr;
  const Object* object = nullptr;
  const void* pointer = nullptr;
  std::string (*describe)(const void*) = nullptr;  // for Kind::Described

  // Boxes one argument as format() does, for interfaces that take arguments already boxed
  // (formatArgs, LGLog::logArgs).
  template <class T>
  static FormatArg from(const T& arg);
};

namespace detail {

template <class T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {
  using element = T;
};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
FormatArg box(const T& arg) {
  FormatArg a;
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    a.kind = FormatArg::Kind::Signed;
    a.size = 1;
    a.i = arg ? 1 : 0;
  } else if constexpr (std::is_same_v<U, char>) {
    a.kind = FormatArg::Kind::Char;
    a.size = 1;
    a.i = static_cast<unsigned char>(arg);
  } else if constexpr (std::is_enum_v<U>) {
    return box(static_cast<std::underlying_type_t<U>>(arg));
  } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
    a.kind = FormatArg::Kind::Signed;
    a.size = sizeof(U);
    a.i = static_cast<std::int64_t>(arg);
  } else if constexpr (std::is_integral_v<U>) {
    a.kind = FormatArg::Kind::Unsigned;
    a.size = sizeof(U);
    a.u = static_cast<std::uint64_t>(arg);
  } else if constexpr (std::is_floating_point_v<U>) {
    a.kind = FormatArg::Kind::Double;
    a.d = static_cast<double>(arg);
  } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
    a.kind = FormatArg::Kind::Pointer;
  } else if constexpr (std::is_convertible_v<const U&, const char*>) {
    a.kind = FormatArg::Kind::CString;
    a.cstring = arg;
  } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
    a.kind = FormatArg::Kind::String;
    a.text = arg;
  } else if constexpr (std::is_same_v<U, Value>) {
    a.kind = FormatArg::Kind::Value;
    a.value = &arg;
  } else if constexpr (IsOptional<U>::value) {
    if (arg) return box(*arg);
    a.kind = FormatArg::Kind::Object;  // prints "(null)" for %@ and %s
  } else if constexpr (IsSharedPtr<U>::value) {
    using E = typename IsSharedPtr<U>::element;
    if constexpr (std::is_base_of_v<Object, E>) {
      a.kind = FormatArg::Kind::Object;
      a.object = arg.get();
    } else {
      a.kind = FormatArg::Kind::Pointer;
    }
    a.pointer = static_cast<const void*>(arg.get());
  } else if constexpr (std::is_pointer_v<U>) {
    using E = std::remove_cv_t<std::remove_pointer_t<U>>;
    if constexpr (std::is_base_of_v<Object, E>) {
      a.kind = FormatArg::Kind::Object;
      a.object = arg;
    } else {
      a.kind = FormatArg::Kind::Pointer;
    }
    a.pointer = static_cast<const void*>(arg);
  } else if constexpr (std::is_base_of_v<Object, U>) {
    a.kind = FormatArg::Kind::Object;
    a.object = &arg;
    a.pointer = &arg;
  } else if constexpr (Describable<U>) {
    a.kind = FormatArg::Kind::Described;
    a.pointer = &arg;
    a.describe = [](const void* p) -> std::string { return static_cast<const U*>(p)->description(); };
  } else {
    static_assert(sizeof(U) == 0, "type cannot be formatted");
  }
  return a;
}

}  // namespace detail

template <class T>
FormatArg FormatArg::from(const T& arg) {
  return detail::box(arg);
}

// The non-template core.
std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> boxed{detail::box(args)...};
  return formatArgs(fmt, boxed);
}

}  // namespace platform

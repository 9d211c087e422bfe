#pragma once

// Methods by name: each class keeps a table of methods called by selector string
// ("tableView:didSelectRow:"), inherited through the superclass chain, with boxed arguments and
// result. The members are declared on Class and Object (object.h): Class::addMethod,
// replaceMethod, interceptMethod, methodForSelector, instancesRespondToSelector, addClassMethod,
// respondsToSelector, perform; Object::respondsToSelector, perform, forwardInvocation.
//
// Declaring methods of a C++ class in its body (arguments and result are boxed through
// PropertyTraits, so the same types as properties work; a void result gives nil):
//
//   void tableViewDidSelectRow(platform::Value tableView, std::int64_t row);
//   ZORVEL_METHOD("tableView:didSelectRow:", tableViewDidSelectRow)
//   static std::uint64_t lgLogLevel();
//   ZORVEL_CLASS_METHOD("lgLogLevel", lgLogLevel)
//
// Thread safety: tables may be read and changed from any thread; a method replaced while another
// thread runs it finishes with the implementation it started with.

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace platform {

// The number of arguments a selector takes (its ':' count).
std::size_t selectorArgumentCount(std::string_view selector);

// A named set of methods that classes declare they implement (a delegate's methods, say), each
// required or optional, with its types. Protocols are declared once, by name, and live for the
// whole process.
class Protocol {
 public:
  struct Method {
    std::string selector;
    bool required = false;
    MethodSignature signature;
  };

  // Declares the protocol; a name declared before gives the earlier protocol unchanged.
  static const Protocol& declare(std::string name, std::vector<Method> methods);
  static const Protocol* named(std::string_view name);

  const std::string& name() const { return name_; }
  const std::vector<Method>& methods() const { return methods_; }
  // The description of the selector among the required or the optional methods, or nullptr.
  const Method* methodDescription(std::string_view selector, bool required) const;

 private:
  Protocol(std::string name, std::vector<Method> methods) : name_(std::move(name)), methods_(std::move(methods)) {}
  std::string name_;
  std::vector<Method> methods_;
};

namespace detail {

template <class R, class F, std::size_t... I, class... A>
Value callBoxed(F&& f, const std::vector<Value>& args, std::index_sequence<I...>, std::tuple<A...>*) {
  if (args.size() != sizeof...(A))
    Exception::raise(kInvalidArgumentException, "wrong number of arguments for a method called by name");
  if constexpr (std::is_void_v<R>) {
    f(PropertyTraits<std::remove_cvref_t<A>>::fromValue(args[I])...);
    return Value();
  } else {
    return PropertyTraits<std::remove_cvref_t<R>>::toValue(
        f(PropertyTraits<std::remove_cvref_t<A>>::fromValue(args[I])...));
  }
}

template <class C, class R, class... A>
MethodImp boxMethod(R (C::*fn)(A...)) {
  return [fn](Object& self, const std::vector<Value>& args) -> Value {
    auto call = [&](auto&&... a) -> R { return (static_cast<C&>(self).*fn)(std::forward<decltype(a)>(a)...); };
    return callBoxed<R>(call, args, std::index_sequence_for<A...>{}, static_cast<std::tuple<A...>*>(nullptr));
  };
}
template <class C, class R, class... A>
MethodImp boxMethod(R (C::*fn)(A...) const) {
  return [fn](Object& self, const std::vector<Value>& args) -> Value {
    auto call = [&](auto&&... a) -> R { return (static_cast<const C&>(self).*fn)(std::forward<decltype(a)>(a)...); };
    return callBoxed<R>(call, args, std::index_sequence_for<A...>{}, static_cast<std::tuple<A...>*>(nullptr));
  };
}
template <class R, class... A>
ClassMethodImp boxClassMethod(R (*fn)(A...)) {
  return [fn](const Class&, const std::vector<Value>& args) -> Value {
    auto call = [&](auto&&... a) -> R { return fn(std::forward<decltype(a)>(a)...); };
    return callBoxed<R>(call, args, std::index_sequence_for<A...>{}, static_cast<std::tuple<A...>*>(nullptr));
  };
}

template <class T>
std::string typeEncoding() {
  if constexpr (std::is_void_v<T>)
    return "v";
  else
    return PropertyTraits<std::remove_cvref_t<T>>::encoding();
}
template <class C, class R, class... A>
MethodSignature signatureOf(R (C::*)(A...)) {
  return {typeEncoding<R>(), {typeEncoding<A>()...}};
}
template <class C, class R, class... A>
MethodSignature signatureOf(R (C::*)(A...) const) {
  return {typeEncoding<R>(), {typeEncoding<A>()...}};
}

template <class C, class F>
bool declareMethod(const char* selector, F fn) {
  C::staticClass().addMethod(selector, boxMethod<C>(fn));
  C::staticClass().setMethodSignature(selector, signatureOf(fn));
  return true;
}
template <class C, class F>
bool declareClassMethod(const char* selector, F fn) {
  C::staticClass().addClassMethod(selector, boxClassMethod(fn));
  return true;
}

}  // namespace detail
}  // namespace platform

// Registers the member function `Member` as the instance method `selector`. Leaves the access
// public.
#define ZORVEL_METHOD(selector, Member)                                                                              \
 private:                                                                                                            \
  static bool ZORVEL_CONCAT(zorvelDeclareMethod_, __LINE__)() {                                                      \
    return ::platform::detail::declareMethod<ZorvelSelf>(selector, &ZorvelSelf::Member);                             \
  }                                                                                                                  \
  static inline const bool ZORVEL_CONCAT(zorvelMethod_, __LINE__) = ZORVEL_CONCAT(zorvelDeclareMethod_, __LINE__)(); \
                                                                                                                     \
 public:

// Registers the static member function `Member` as the class method `selector`.
#define ZORVEL_CLASS_METHOD(selector, Member)                                                 \
 private:                                                                                     \
  static bool ZORVEL_CONCAT(zorvelDeclareClassMethod_, __LINE__)() {                          \
    return ::platform::detail::declareClassMethod<ZorvelSelf>(selector, &ZorvelSelf::Member); \
  }                                                                                           \
  static inline const bool ZORVEL_CONCAT(zorvelClassMethod_, __LINE__) =                      \
      ZORVEL_CONCAT(zorvelDeclareClassMethod_, __LINE__)();                                   \
                                                                                              \
 public:

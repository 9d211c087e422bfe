#pragma once

// FunctionRef<R(Args...)>: a non-owning reference to a callable, for callbacks that run before the
// call that receives them returns (enumeration blocks, the block of a synchronous dispatch). It is
// two pointers, never allocates and never copies the callable; the callable must outlive every call
// through the reference. Never store one beyond the call that received it, and never bind one to
// a temporary that dies before it is called: use std::function for blocks that are kept or queued.
//
// An empty std::function, a null function pointer and nullptr make an empty reference (false in a
// boolean test); calling an empty reference is undefined. Any thread may call it if the callable
// allows that.

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

namespace detail {
template <class T>
inline constexpr bool isStdFunction = false;
template <class Signature>
inline constexpr bool isStdFunction<std::function<Signature>> = true;
}  // namespace detail

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  FunctionRef() = default;
  FunctionRef(std::nullptr_t) {}  // NOLINT: implicit, like std::function's

  // clang-format 14 would break the requires clause over the declaration.
  // clang-format off
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& callable) noexcept {  // NOLINT: implicit, so that lambdas convert at call sites
    // clang-format on
    using Callable = std::remove_reference_t<F>;
    if constexpr (std::is_function_v<Callable> || std::is_pointer_v<std::decay_t<F>>) {
      auto* function = static_cast<std::decay_t<F>>(callable);
      if (!function) return;
      target_.function = reinterpret_cast<void (*)()>(function);
      invoke_ = &invokeFunction<std::decay_t<F>>;
    } else {
      if constexpr (detail::isStdFunction<std::remove_cv_t<Callable>>) {
        if (!callable) return;  // an empty std::function
      }
      target_.object = const_cast<void*>(static_cast<const void*>(std::addressof(callable)));
      invoke_ = &invokeObject<Callable>;
    }
  }

  R operator()(Args... args) const { return invoke_(target_, std::forward<Args>(args)...); }
  explicit operator bool() const { return invoke_ != nullptr; }

 private:
  union Target {
    void* object = nullptr;
    void (*function)();
  };

  template <class Callable>
  static R invokeObject(Target target, Args... args) {
    if constexpr (std::is_void_v<R>)
      std::invoke(*static_cast<Callable*>(target.object), std::forward<Args>(args)...);
    else
      return std::invoke(*static_cast<Callable*>(target.object), std::forward<Args>(args)...);
  }
  template <class Pointer>
  static R invokeFunction(Target target, Args... args) {
    if constexpr (std::is_void_v<R>)
      std::invoke(reinterpret_cast<Pointer>(target.function), std::forward<Args>(args)...);
    else
      return std::invoke(reinterpret_cast<Pointer>(target.function), std::forward<Args>(args)...);
  }

  Target target_;
  R (*invoke_)(Target, Args...) = nullptr;
};

}  // namespace platform

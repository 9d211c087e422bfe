#pragma once

#include <functional>
#include <optional>

#include "platform/runtime/error.h"

namespace zorvel::test {

// The platform::Exception the call raises, or nullopt when it returns normally.
inline std::optional<platform::Exception> raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const platform::Exception& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace zorvel::test

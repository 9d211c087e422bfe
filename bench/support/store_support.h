#pragma once

// Shared by the store's benchmarks: serializers that store bytes as they are, key lists, and the
// main loop's turn. (Their temporary folders are the tests' zorvel::test::TempDir,
// tests/support/temp_dir.h.)

#include <stdexcept>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/value.h"

namespace zorvel::bench {

// Objects are bytes and are stored as they are.
inline DizEvozidizClosures passThrough() {
  DizEvozidizClosures closures;
  closures.objectSerializer = [](const std::string&, const std::string&, const platform::Value& v) {
    return v.asData();
  };
  closures.metadataSerializer = closures.objectSerializer;
  closures.objectDeserializer = [](const std::string&, const std::string&, std::span<const std::uint8_t> b) {
    return platform::Value(platform::Bytes(b.begin(), b.end()));
  };
  closures.metadataDeserializer = closures.objectDeserializer;
  return closures;
}

inline std::vector<std::string> makeKeys(int count) {
  std::vector<std::string> keys;
  keys.reserve(count);
  for (int i = 0; i < count; ++i) keys.push_back("key-" + std::to_string(i));
  return keys;
}

// Runs the main loop (on the main thread, where benchmarks run) until everything queued on the main
// queue so far has run: each commit posts its modified notification there, as an application's main
// loop would deliver it. Until then the notification keeps the commit's change records alive.
inline void deliverMainQueue() {
  bool reached = false;
  platform::DispatchQueue::main()->async([&reached] { reached = true; });
  if (!platform::runMainLoopUntil([&reached] { return reached; }, 10))
    throw std::runtime_error("the main queue did not drain");
}

// A store call that reports failure (a read-write transaction that did not commit, a registration
// that failed) fails the benchmark: a figure for work that was not done means nothing.
inline void requireSuccess(bool succeeded) {
  if (!succeeded) throw std::runtime_error("a store call reported failure");
}

}  // namespace zorvel::bench

#pragma once

// Shared by the store's benchmarks: a temporary folder per benchmark, serializers that store bytes
// as they are, key lists, and the main loop's turn.

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "platform/value.h"

namespace zorvel::bench {

// A fresh folder, removed when the benchmark ends.
class BenchDir {
 public:
  BenchDir() {
    path_ = std::filesystem::temp_directory_path() /
            ("zorvel-store-bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(path_);
  }
  ~BenchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchDir(const BenchDir&) = delete;
  BenchDir& operator=(const BenchDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

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

}  // namespace zorvel::bench

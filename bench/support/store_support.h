#pragma once

// Shared by the store's benchmarks: a temporary folder per benchmark, serializers that store bytes
// as they are, and key lists.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizSerializers.h"
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

}  // namespace zorvel::bench

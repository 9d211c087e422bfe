#pragma once

// Shared by the store's benchmarks: serializers that store bytes as they are, and key lists. (Their
// temporary folders are the tests' zorvel::test::TempDir, tests/support/temp_dir.h.)

#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "platform/value.h"

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

}  // namespace zorvel::bench

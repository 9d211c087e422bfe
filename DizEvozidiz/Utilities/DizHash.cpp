#include "DizEvozidiz/Utilities/DizHash.h"

#include <cstring>

namespace {

constexpr std::uint64_t kMultiplier64 = 0xc6a4a7935bd1e995ULL;
constexpr int kShift64 = 47;
constexpr std::uint32_t kMultiplier32 = 0x5bd1e995U;
constexpr int kShift32 = 24;
constexpr std::uint64_t kSeed = 0x0a2f1b6fULL;

inline std::uint64_t mixWord(std::uint64_t h, std::uint64_t k) {
  k *= kMultiplier64;
  k ^= k >> kShift64;
  k *= kMultiplier64;
  h ^= k;
  h *= kMultiplier64;
  return h;
}

inline std::uint64_t finish64(std::uint64_t h) {
  h ^= h >> kShift64;
  h *= kMultiplier64;
  h ^= h >> kShift64;
  return h;
}

}  // namespace

std::uint64_t DizHash2x64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t h = kSeed ^ (16 * kMultiplier64);
  h = mixWord(h, a);
  h = mixWord(h, b);
  return finish64(h);
}

std::uint64_t DizHash3x64(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  std::uint64_t h = kSeed ^ (24 * kMultiplier64);
  h = mixWord(h, a);
  h = mixWord(h, b);
  h = mixWord(h, c);
  return finish64(h);
}

std::uint64_t DizHashData64(const void* bytes, std::size_t length) {
  const auto* data = static_cast<const unsigned char*>(bytes);
  std::uint64_t h = kSeed ^ (static_cast<std::uint64_t>(length) * kMultiplier64);
  const std::size_t words = length / 8;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t k;
    std::memcpy(&k, data + i * 8, 8);  // unaligned-safe
    h = mixWord(h, k);
  }
  const unsigned char* tail = data + words * 8;
  switch (length & 7) {
    case 7:
      h ^= static_cast<std::uint64_t>(tail[6]) << 48;
      [[fallthrough]];
    case 6:
      h ^= static_cast<std::uint64_t>(tail[5]) << 40;
      [[fallthrough]];
    case 5:
      h ^= static_cast<std::uint64_t>(tail[4]) << 32;
      [[fallthrough]];
    case 4:
      h ^= static_cast<std::uint64_t>(tail[3]) << 24;
      [[fallthrough]];
    case 3:
      h ^= static_cast<std::uint64_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      h ^= static_cast<std::uint64_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      h ^= static_cast<std::uint64_t>(tail[0]);
      h *= kMultiplier64;
  }
  return finish64(h);
}

std::uint32_t DizHashData32(const void* bytes, std::size_t length) {
  const auto* data = static_cast<const unsigned char*>(bytes);
  std::uint32_t h = static_cast<std::uint32_t>(kSeed) ^ static_cast<std::uint32_t>(length);
  std::size_t remaining = length;
  while (remaining >= 4) {
    std::uint32_t k;
    std::memcpy(&k, data, 4);
    k *= kMultiplier32;
    k ^= k >> kShift32;
    k *= kMultiplier32;
    h *= kMultiplier32;
    h ^= k;
    data += 4;
    remaining -= 4;
  }
  switch (remaining) {
    case 3:
      h ^= static_cast<std::uint32_t>(data[2]) << 16;
      [[fallthrough]];
    case 2:
      h ^= static_cast<std::uint32_t>(data[1]) << 8;
      [[fallthrough]];
    case 1:
      h ^= static_cast<std::uint32_t>(data[0]);
      h *= kMultiplier32;
  }
  h ^= h >> 13;
  h *= kMultiplier32;
  h ^= h >> 15;
  return h;
}

#pragma once

// The store's 64-bit mixing hash (MurmurHash64A with a fixed seed, so values are the same in every
// run and every process) and its 32-bit sibling (MurmurHash2). Pure functions; any thread.

#include <cstddef>
#include <cstdint>

// Mix of two words, in order; gives DizCollectionKey its hash.
std::uint64_t DizHash2x64(std::uint64_t a, std::uint64_t b);
// Mix of three words, in order.
std::uint64_t DizHash3x64(std::uint64_t a, std::uint64_t b, std::uint64_t c);
// MurmurHash64A over bytes (words read in host byte order).
std::uint64_t DizHashData64(const void* bytes, std::size_t length);
// MurmurHash2 over bytes.
std::uint32_t DizHashData32(const void* bytes, std::size_t length);

// The names under which the collection key and connection code know the word mixes.
inline std::uint64_t DizPairHash(std::uint64_t a, std::uint64_t b) { return DizHash2x64(a, b); }
inline std::uint64_t DizTripleHash(std::uint64_t a, std::uint64_t b, std::uint64_t c) { return DizHash3x64(a, b, c); }

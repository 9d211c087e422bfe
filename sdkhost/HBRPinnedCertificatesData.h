#pragma once

#include <cstddef>

// The DER bytes of the eight pinned roots, in the order of the pinned list.
struct HBRPinnedCertificateBytes {
  const unsigned char* bytes;
  std::size_t length;
};

extern const HBRPinnedCertificateBytes kHBRPinnedCertificateBytes[8];

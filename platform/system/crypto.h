#pragma once

// Identifiers and byte encodings: random UUIDs, SHA-1 digests, hexadecimal and Base64 text.
// Everything here is stateless or a plain value type and may be used from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// The bytes of a text, for hashing or encoding it.
inline ByteSpan bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A 128-bit universally unique identifier.
class UUID {
 public:
  using Octets = std::array<std::uint8_t, 16>;

  // The nil UUID (all zero); use random() for a fresh identifier.
  UUID() = default;
  explicit UUID(const Octets& octets) : octets_(octets) {}

  // A new random (version 4, RFC 4122 variant) UUID from the system's secure random source.
  static UUID random();
  // Parses the 36-character form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either case; nullopt
  // for anything else (other lengths, misplaced dashes, non-hexadecimal digits).
  static std::optional<UUID> parse(std::string_view text);

  const Octets& octets() const { return octets_; }
  // Upper case with dashes, 36 characters: "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string uuidString() const;
  // The 16 bytes as 32 lower-case hexadecimal digits without dashes.
  std::string lowercaseHexString() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Octets octets_{};
};

// Shorthand for UUID::random().uuidString().
std::string newUUIDString();

using Sha1Digest = std::array<std::uint8_t, 20>;

// The SHA-1 digest of the bytes.
Sha1Digest sha1(ByteSpan bytes);
inline Sha1Digest sha1(std::string_view text) { return sha1(bytesOf(text)); }
// The digest as 40 lower-case hexadecimal digits.
std::string sha1HexString(ByteSpan bytes);
inline std::string sha1HexString(std::string_view text) { return sha1HexString(bytesOf(text)); }

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string hexEncode(ByteSpan bytes);
// Accepts digits of either case; nullopt for an odd length or any other character.
std::optional<Bytes> hexDecode(std::string_view text);

// Standard Base64 (RFC 4648 alphabet), padded with "=", no line breaks.
std::string base64Encode(ByteSpan bytes);
inline std::string base64Encode(std::string_view text) { return base64Encode(bytesOf(text)); }
// Decodes padded standard Base64. Rejects (nullopt) any character outside the alphabet (including
// white space), a length that is not a multiple of 4, padding anywhere but at the end, and
// non-zero bits left over in the last character, so every accepted text has exactly one meaning.
std::optional<Bytes> base64Decode(std::string_view text);

namespace detail {
// Initialises the TLS and crypto library without its clean-up at exit. Threads of ours (the URL
// loader's) may still be inside it while the process exits, and its clean-up would free what they
// use; the memory is the system's to reclaim. Runs before main in any program using this file;
// code calling the library directly calls it first too. Idempotent and thread-safe.
void initialiseCryptoLibrary();
}  // namespace detail

}  // namespace platform

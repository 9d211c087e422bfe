#include "platform/system/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <mutex>
#include <stdexcept>

namespace platform {

namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Dash positions of the 36-character text form.
bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// Before main, so that the library's first initialisation, the one that decides, is ours.
[[maybe_unused]] const bool kCryptoLibraryInitialised = (detail::initialiseCryptoLibrary(), true);

}  // namespace

namespace detail {
void initialiseCryptoLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}
}  // namespace detail

UUID UUID::random() {
  Octets octets;
  // RAND_bytes only fails when the system cannot seed a secure generator; an identifier made
  // from predictable bytes would not be unique, so that is not a recoverable condition.
  if (RAND_bytes(octets.data(), static_cast<int>(octets.size())) != 1) {
    throw std::runtime_error("UUID::random: no secure random source");
  }
  octets[6] = static_cast<std::uint8_t>((octets[6] & 0x0F) | 0x40);  // version 4
  octets[8] = static_cast<std::uint8_t>((octets[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return UUID(octets);
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Octets octets{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0 || isDashPosition(i + 1)) return std::nullopt;
    octets[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return UUID(octets);
}

std::string UUID::uuidString() const {
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < octets_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kUpperDigits[octets_[i] >> 4]);
    text.push_back(kUpperDigits[octets_[i] & 0x0F]);
  }
  return text;
}

std::string UUID::lowercaseHexString() const { return hexEncode(octets_); }

std::string newUUIDString() { return UUID::random().uuidString(); }

Sha1Digest sha1(ByteSpan bytes) {
  Sha1Digest digest{};
  unsigned int length = 0;
  // EVP_Digest only fails on allocation failure inside OpenSSL.
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("sha1: digest failed");
  }
  return digest;
}

std::string sha1HexString(ByteSpan bytes) { return hexEncode(sha1(bytes)); }

std::string hexEncode(ByteSpan bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kLowerDigits[b >> 4]);
    text.push_back(kLowerDigits[b & 0x0F]);
  }
  return text;
}

std::optional<Bytes> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return bytes;
}

std::string base64Encode(ByteSpan bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = std::uint32_t(bytes[i]) << 16 | std::uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    text.push_back(kBase64Alphabet[group >> 18 & 63]);
    text.push_back(kBase64Alphabet[group >> 12 & 63]);
    text.push_back(kBase64Alphabet[group >> 6 & 63]);
    text.push_back(kBase64Alphabet[group & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t(bytes[i]) << 16;
    if (rest == 2) group |= std::uint32_t(bytes[i + 1]) << 8;
    text.push_back(kBase64Alphabet[group >> 18 & 63]);
    text.push_back(kBase64Alphabet[group >> 12 & 63]);
    text.push_back(rest == 2 ? kBase64Alphabet[group >> 6 & 63] : '=');
    text.push_back('=');
  }
  return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      int value = 0;
      if (j < digits) {
        value = base64Value(text[i + j]);
        if (value < 0) return std::nullopt;
      }
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (digits >= 3) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (digits == 4) bytes.push_back(static_cast<std::uint8_t>(group));
    // Bits below the last whole byte must be zero in canonical Base64.
    if (digits == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    if (digits == 3 && (group & 0xFF) != 0) return std::nullopt;
  }
  return bytes;
}

}  // namespace platform

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/system/crypto.h"

using platform::Bytes;
using platform::UUID;

namespace {

Bytes bytesFromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Upper-case hexadecimal in groups 8-4-4-4-12, version digit 4, variant digit 8, 9, A or B.
bool hasPlatformVersion4Form(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}

}  // namespace

TEST(Sha1, MatchesKnownVectors) {
  struct Case {
    std::string input;
    const char* hex;
  };
  const Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      // Embedded zero bytes count like any other byte.
      {std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::sha1HexString(c.input), c.hex) << c.input.substr(0, 20);
    EXPECT_EQ(platform::hexEncode(platform::sha1(c.input)), c.hex);
  }
}

TEST(Sha1, DigestOfConcatenatedPiecesEqualsDigestOfWhole) {
  // Callers that feed several texts without separators hash their concatenation.
  EXPECT_EQ(platform::sha1("recordzoneowner"), platform::sha1(std::string("record") + "zone" + "owner"));
  EXPECT_NE(platform::sha1("record"), platform::sha1("recorD"));
}

TEST(Base64, EncodesAndDecodesRfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(platform::base64Encode(std::string_view(plain)), encoded);
    auto decoded = platform::base64Decode(encoded);
    ASSERT_TRUE(decoded.has_value()) << encoded;
    EXPECT_EQ(*decoded, bytesFromText(plain));
  }
}

TEST(Base64, RoundTripsEveryByteValueAndUsesBothHighCharacters) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  std::string encoded = platform::base64Encode(all);
  EXPECT_NE(encoded.find('+'), std::string::npos);
  EXPECT_NE(encoded.find('/'), std::string::npos);
  EXPECT_EQ(platform::base64Decode(encoded), all);
}

TEST(Base64, EncodesTwentyByteDigestInTwentyEightCharacters) {
  std::string encoded = platform::base64Encode(platform::sha1("abc"));
  EXPECT_EQ(encoded, "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST(Base64, DecodeRejectsMalformedInput) {
  const char* invalid[] = {
      "Zg",        // missing padding
      "Zg=",       // length not a multiple of 4
      "Zm9v\n",    // white space
      "Zm 9v",     //
      "Zm9v====",  // a whole group of padding
      "Z===",      // a single digit cannot make a byte
      "Zg=a",      // padding in the middle
      "Zg==Zm8=",  // padding before the end
      "Zm9-",      // URL-safe alphabet is not standard Base64
      "Zh==",      // non-zero leftover bits
      "Zm9=",      // non-zero leftover bits with one pad
  };
  for (const char* text : invalid) EXPECT_FALSE(platform::base64Decode(text).has_value()) << text;
}

TEST(Hex, EncodesLowerCaseAndDecodesEitherCase) {
  Bytes bytes = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
  EXPECT_EQ(platform::hexEncode(bytes), "000fa0ff5c");
  EXPECT_EQ(platform::hexDecode("000FA0ff5C"), bytes);
  EXPECT_EQ(platform::hexDecode(""), Bytes{});
  EXPECT_FALSE(platform::hexDecode("abc").has_value());
  EXPECT_FALSE(platform::hexDecode("zz").has_value());
  EXPECT_FALSE(platform::hexDecode("0x").has_value());
}

TEST(UUID, RandomUuidHasPlatformTextFormAndVersion4Bits) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string text = platform::newUUIDString();
    EXPECT_TRUE(hasPlatformVersion4Form(text)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(UUID, ParsesEitherCaseAndRoundTrips) {
  auto parsed = UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(parsed->lowercaseHexString(), "e621e1f8c36c495a93fc0c247a3e6e5f");
  EXPECT_EQ(parsed->octets()[0], 0xE6);
  EXPECT_EQ(parsed->octets()[15], 0x5F);
  EXPECT_EQ(UUID::parse(parsed->uuidString()), parsed);

  UUID random = UUID::random();
  EXPECT_EQ(UUID::parse(random.uuidString()), random);
}

TEST(UUID, ParseRejectsMalformedText) {
  const char* invalid[] = {
      "",
      "E621E1F8C36C495A93FC0C247A3E6E5F",       // no dashes
      "E621E1F8-C36C-495A-93FC-0C247A3E6E5",    // too short
      "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",  // too long
      "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",   // dash misplaced
      "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",   // not hexadecimal
      "{621E1F8-C36C-495A-93FC-0C247A3E6E5F",
  };
  for (const char* text : invalid) EXPECT_FALSE(UUID::parse(text).has_value()) << text;
}

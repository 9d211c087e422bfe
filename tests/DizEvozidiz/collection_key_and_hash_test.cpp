#include <gtest/gtest.h>

#include <cstring>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/Utilities/DizHash.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/error.h"

namespace {

TEST(DizHash, MatchesFixedValues) {
  EXPECT_EQ(DizHash2x64(0, 0), 0x9d0622abc710d7c8ULL);
  EXPECT_EQ(DizHash2x64(1, 2), 0x89b6bc5c3a2d54d5ULL);
  EXPECT_EQ(DizPairHash(1, 2), DizHash2x64(1, 2));
  EXPECT_NE(DizHash2x64(1, 2), DizHash2x64(2, 1));
}

TEST(DizHash, WordHashesEqualTheByteHashOfTheSameWords) {
  const std::uint64_t words[3] = {0x0123456789abcdefULL, 42, 0xfedcba9876543210ULL};
  EXPECT_EQ(DizHashData64(words, 16), DizHash2x64(words[0], words[1]));
  EXPECT_EQ(DizHashData64(words, 24), DizHash3x64(words[0], words[1], words[2]));
  EXPECT_EQ(DizTripleHash(1, 2, 3), DizHash3x64(1, 2, 3));
}

TEST(DizHash, ByteHashesSeeEveryTailByte) {
  unsigned char bytes[15];
  for (int i = 0; i < 15; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  for (std::size_t length = 1; length <= 15; ++length) {
    unsigned char changed[15];
    std::memcpy(changed, bytes, sizeof bytes);
    changed[length - 1] ^= 0x80;
    EXPECT_NE(DizHashData64(bytes, length), DizHashData64(changed, length)) << length;
    EXPECT_NE(DizHashData32(bytes, length), DizHashData32(changed, length)) << length;
  }
  EXPECT_EQ(DizHashData32(bytes, 15), DizHashData32(bytes, 15));
}

TEST(DizCollectionKey, HashIsThePairHashOfTheStringHashes) {
  auto key = DizCollectionKey::make("Events", "42");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->hashValue(), DizHash2x64(DizCollectionKey::stringHash("Events"), DizCollectionKey::stringHash("42")));
  EXPECT_EQ(key->hash(), static_cast<std::size_t>(key->hashValue()));
  EXPECT_EQ(DizCollectionKeyHash(key.get()), key->hashValue());
}

TEST(DizCollectionKey, MissingCollectionIsTheEmptyCollectionAndMissingKeyGivesNothing) {
  auto nilCollection = DizCollectionKey::make(std::nullopt, "k");
  auto emptyCollection = DizCollectionKey::make("", "k");
  ASSERT_TRUE(nilCollection && emptyCollection);
  EXPECT_EQ(nilCollection->collection(), "");
  EXPECT_TRUE(nilCollection->isEqual(*emptyCollection));
  EXPECT_EQ(nilCollection->hashValue(), emptyCollection->hashValue());
  EXPECT_EQ(DizCollectionKey::make("c", std::nullopt), nullptr);
}

TEST(DizCollectionKey, EqualityComparesKeyAndCollection) {
  auto a = DizCollectionKey::make("a", "k");
  auto a2 = DizCollectionKey::make("a", "k");
  auto b = DizCollectionKey::make("b", "k");
  auto other = DizCollectionKey::make("a", "j");
  EXPECT_TRUE(a->isEqualToCollectionKey(a2.get()));
  EXPECT_TRUE(DizCollectionKeyEqual(a.get(), a2.get()));
  EXPECT_TRUE(DizCollectionKey::Equal()(a, a2));
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_FALSE(a->isEqual(*other));
  EXPECT_FALSE(a->isEqualToCollectionKey(nullptr));
  EXPECT_FALSE(DizCollectionKeyEqual(a.get(), nullptr));
  EXPECT_FALSE(DizCollectionKeyEqual(nullptr, a.get()));
  // Another class never equals a key.
  EXPECT_FALSE(a->isEqual(*platform::Error::make("a", 0)));
  EXPECT_EQ(a->description(), "<DizCollectionKey collection(a) key(k)>");
}

TEST(DizCollectionKey, ArchivesAndUnarchivesToAnEqualKey) {
  auto key = DizCollectionKey::make("Skins", "blue");
  const platform::Bytes bytes = platform::KeyedArchiver::archivedData(platform::Value(key));
  const platform::Value back = platform::KeyedUnarchiver::unarchivedObject(bytes);
  auto decoded = back.as<DizCollectionKey>();
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*key));
  EXPECT_EQ(decoded->hashValue(), key->hashValue());
}

// Writes an archive entry of class DizCollectionKey that holds no collection.
class KeyWithoutCollection final : public platform::Object {
 public:
  const platform::Class& objectClass() const override { return DizCollectionKey::staticClass(); }
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeValue(platform::Value("k"), "key");
  }
};

TEST(DizCollectionKey, ArchiveWithoutCollectionDecodesAsTheEmptyCollection) {
  const platform::Bytes bytes =
      platform::KeyedArchiver::archivedData(platform::Value(std::make_shared<KeyWithoutCollection>()));
  auto decoded = platform::KeyedUnarchiver::unarchivedObject(bytes).as<DizCollectionKey>();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->collection(), "");
  EXPECT_TRUE(decoded->isEqual(*DizCollectionKey::make("", "k")));
  EXPECT_EQ(decoded->hashValue(), DizCollectionKey::make(std::nullopt, "k")->hashValue());
}

}  // namespace

#include <gtest/gtest.h>

#include "platform/runtime/error.h"

namespace platform {
namespace {

TEST(Error, LocalizedDescriptionComesFromUserInfoOrTheDefaultText) {
  auto plain = Error::make("MFModelErrorDomain", 2);
  EXPECT_EQ(plain->localizedDescription(), "The operation couldn\u2019t be completed. (MFModelErrorDomain error 2.)");
  auto described = Error::withDescription("D", 1, "Something failed");
  EXPECT_EQ(described->localizedDescription(), "Something failed");
  auto withReason =
      Error::make("D", 1, Value::dictionary({{std::string(kLocalizedFailureReasonErrorKey), "No disk."}}));
  EXPECT_EQ(withReason->localizedDescription(), "The operation couldn\u2019t be completed. No disk.");
  auto negative = Error::make("D", -5);
  EXPECT_EQ(negative->localizedDescription(), "The operation couldn\u2019t be completed. (D error -5.)");
}

TEST(Error, OptionalTextsAndUnderlyingError) {
  auto underlying = Error::make("SQLite", 11);
  auto error = Error::make("DizEvozidiz", 0,
                           Value::dictionary({{std::string(kLocalizedFailureReasonErrorKey), "reason"},
                                              {std::string(kLocalizedRecoverySuggestionErrorKey), "suggestion"},
                                              {std::string(kUnderlyingErrorKey), underlying}}));
  EXPECT_EQ(error->localizedFailureReason(), "reason");
  EXPECT_EQ(error->localizedRecoverySuggestion(), "suggestion");
  EXPECT_EQ(error->underlyingError(), underlying);
  auto bare = Error::make("D", 1);
  EXPECT_FALSE(bare->localizedFailureReason());
  EXPECT_FALSE(bare->localizedRecoverySuggestion());
  EXPECT_EQ(bare->underlyingError(), nullptr);
  auto wrongKind = Error::make("D", 1, Value::dictionary({{std::string(kUnderlyingErrorKey), "not an error"}}));
  EXPECT_EQ(wrongKind->underlyingError(), nullptr);
  EXPECT_TRUE(Error::make("D", 1, Value(5))->userInfo().isNil());  // user info is a dictionary or nothing
}

TEST(Error, DescriptionShowsDomainCodeAndUserInfo) {
  EXPECT_EQ(Error::make("D", 7)->description(),
            "Error Domain=D Code=7 \"The operation couldn\u2019t be completed. (D error 7.)\"");
  auto inner = Error::withDescription("SQLite", 11, "disk image is malformed");
  auto outer = Error::make("DizEvozidiz", 0,
                           Value::dictionary({{std::string(kLocalizedDescriptionKey), "Corrupt"},
                                              {std::string(kUnderlyingErrorKey), inner},
                                              {"path", "/tmp/x"}}));
  EXPECT_EQ(outer->description(),
            "Error Domain=DizEvozidiz Code=0 \"Corrupt\" UserInfo={NSLocalizedDescription=Corrupt, "
            "NSUnderlyingError={Error Domain=SQLite Code=11 \"disk image is malformed\" "
            "UserInfo={NSLocalizedDescription=disk image is malformed}}, path=/tmp/x}");
}

TEST(Error, EqualityByDomainCodeAndUserInfo) {
  auto a = Error::withDescription("D", 1, "x");
  EXPECT_TRUE(a->isEqual(*Error::withDescription("D", 1, "x")));
  EXPECT_FALSE(a->isEqual(*Error::withDescription("D", 2, "x")));
  EXPECT_FALSE(a->isEqual(*Error::withDescription("E", 1, "x")));
  EXPECT_FALSE(a->isEqual(*Error::withDescription("D", 1, "y")));
  EXPECT_EQ(Value(a), Value(Error::withDescription("D", 1, "x")));
  EXPECT_TRUE(a->isKindOf(Error::staticClass()));
  EXPECT_TRUE(a->isKindOf(Object::staticClass()));
}

TEST(Exception, CarriesNameReasonAndUserInfo) {
  try {
    Exception::raiseFormat(kInvalidArgumentException, "bad index %lu of %@", 5ul, Value("list"));
    FAIL() << "not raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");
    EXPECT_EQ(e.reason(), "bad index 5 of list");
    EXPECT_STREQ(e.what(), "bad index 5 of list");
  }
  try {
    Exception::raise("DizEvozidizException", "misuse", Value::dictionary({{"k", 1}}));
  } catch (const std::exception& e) {
    auto* ours = dynamic_cast<const Exception*>(&e);
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(ours->userInfo()["k"], Value(1));
  }
}

}  // namespace
}  // namespace platform

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "model/MFModel.h"
#include "platform/codecs/keyed_archiver.h"

using platform::Bytes;
using platform::ErrorPtr;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Value;
using testing::HasSubstr;

namespace {

class MFArchiveNode : public MFModel {
  ZORVEL_CLASS(MFArchiveNode, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, title, setTitle)
  ZORVEL_PROPERTY(std::int64_t, count, setCount)
  ZORVEL_PROPERTY(std::optional<std::string>, image, setImage)
  ZORVEL_PROPERTY(std::weak_ptr<MFArchiveNode>, parent, setParent)
  ZORVEL_PROPERTY(std::shared_ptr<MFArchiveNode>, child, setChild)

  MFEncodingBehaviors encodingBehaviorsByPropertyKey() const override {
    MFEncodingBehaviors behaviors = MFModel::encodingBehaviorsByPropertyKey();
    behaviors["image"] = MFModelEncodingBehaviorExcluded;
    return behaviors;
  }
  bool supportsSecureCoding() const override { return true; }
};

// Stands for one class at several versions: the test sets the version it answers.
std::uint64_t gVersionedClassVersion = 5;

class MFArchiveVersioned : public MFModel {
  ZORVEL_CLASS(MFArchiveVersioned, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  std::uint64_t modelVersion() const override { return gVersionedClassVersion; }

  // Older archives kept the name under "oldName".
  Value decodeNameWithCoder(std::shared_ptr<MFCoderReference> coder, std::uint64_t version) {
    seenVersion = static_cast<std::int64_t>(version);
    return coder->coder().decodeValue(version < 5 ? "oldName" : "name");
  }
  ZORVEL_METHOD("decodeNameWithCoder:modelVersion:", decodeNameWithCoder)
  std::int64_t seenVersion = -1;
};

class MFArchiveOld : public MFModel {
  ZORVEL_CLASS(MFArchiveOld, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  std::optional<platform::ValueDictionary> dictionaryValueFromArchivedExternalRepresentation(
      const Value& external, std::uint64_t) const override {
    return platform::ValueDictionary{{"name", external["name"]}};
  }
};

class MFArchiveLoose : public MFModel {
  ZORVEL_CLASS(MFArchiveLoose, MFModel)

 public:
  ZORVEL_PROPERTY(Value, anything, setAnything)
  bool supportsSecureCoding() const override { return true; }
};

// Never opted in to secure coding.
class MFArchivePlain : public MFModel {
  ZORVEL_CLASS(MFArchivePlain, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
};

// An archive whose root object is of class `cls` and holds exactly `keys`.
class RawObject : public platform::Object {
 public:
  RawObject(const platform::Class& cls, platform::ValueDictionary keys) : cls_(cls), keys_(std::move(keys)) {}
  const platform::Class& objectClass() const override { return cls_; }
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    for (const auto& [key, value] : keys_) coder.encodeValue(value, key);
  }

 private:
  const platform::Class& cls_;
  platform::ValueDictionary keys_;
};

Bytes rawArchive(const platform::Class& cls, platform::ValueDictionary keys) {
  return KeyedArchiver::archivedData(Value(platform::make<RawObject>(cls, std::move(keys))));
}

template <class T>
std::shared_ptr<T> unarchive(const Bytes& bytes, std::string* log = nullptr) {
  testing::internal::CaptureStderr();
  ErrorPtr error;
  Value root = KeyedUnarchiver::unarchivedObject(bytes, &error);
  std::string text = testing::internal::GetCapturedStderr();
  if (log) *log = text;
  return root.as<T>();
}

TEST(MFModelArchive, RoundTripsValuesAndLeavesNilOut) {
  auto node = platform::make<MFArchiveNode>();
  node->setTitle("root");
  node->setCount(3);
  Bytes bytes = KeyedArchiver::archivedData(Value(node));
  std::string log;
  auto back = unarchive<MFArchiveNode>(bytes, &log);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*node));
  EXPECT_EQ(back->title(), "root");
  EXPECT_EQ(back->image(), std::nullopt);
  EXPECT_EQ(log, "");
}

TEST(MFModelArchive, ExcludedKeyIsNeverWritten) {
  auto node = platform::make<MFArchiveNode>();
  node->setTitle("t");
  node->setImage("big picture");
  auto back = unarchive<MFArchiveNode>(KeyedArchiver::archivedData(Value(node)));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->title(), "t");
  EXPECT_EQ(back->image(), std::nullopt);  // still a property key, so it would read back if written
}

TEST(MFModelArchive, WritesTheClassVersion) {
  auto model = platform::make<MFArchiveVersioned>();
  model->setName("n");
  Bytes bytes = KeyedArchiver::archivedData(Value(model));
  gVersionedClassVersion = 4;
  EXPECT_FALSE(unarchive<MFArchiveVersioned>(bytes));
  gVersionedClassVersion = 5;
  auto back = unarchive<MFArchiveVersioned>(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->seenVersion, 5);
  EXPECT_EQ(back->name(), "n");
}

TEST(MFModelArchive, WeakPropertyIsKeptOnlyWhenTheArchiveHoldsTheObject) {
  auto parent = platform::make<MFArchiveNode>();
  auto child = platform::make<MFArchiveNode>();
  child->setParent(parent);
  auto alone = unarchive<MFArchiveNode>(KeyedArchiver::archivedData(Value(child)));
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->parent(), nullptr);

  parent->setChild(child);
  auto whole = unarchive<MFArchiveNode>(KeyedArchiver::archivedData(Value(parent)));
  ASSERT_TRUE(whole);
  ASSERT_TRUE(whole->child());
  EXPECT_EQ(whole->child()->parent(), whole);
  parent->setChild(nullptr);  // break the cycle
  if (whole->child()) whole->setChild(nullptr);
}

struct VersionCase {
  std::uint64_t archived;
  std::uint64_t reader;
  bool decodes;
  std::int64_t hookSees;
};

class MFModelArchiveVersions : public testing::TestWithParam<VersionCase> {};

TEST_P(MFModelArchiveVersions, NewerArchivesAreRefusedOlderOnesReachTheHook) {
  const VersionCase& c = GetParam();
  Bytes bytes = rawArchive(MFArchiveVersioned::staticClass(),
                           {{"MFModelVersion", Value(c.archived)}, {"name", Value("new")}, {"oldName", Value("old")}});
  gVersionedClassVersion = c.reader;
  std::string log;
  auto model = unarchive<MFArchiveVersioned>(bytes, &log);
  gVersionedClassVersion = 5;
  EXPECT_EQ(log, "");
  if (!c.decodes) {
    EXPECT_FALSE(model);
    return;
  }
  ASSERT_TRUE(model);
  EXPECT_EQ(model->seenVersion, c.hookSees);
  EXPECT_EQ(model->name(), c.archived < 5 ? "old" : "new");
}

INSTANTIATE_TEST_SUITE_P(Table, MFModelArchiveVersions,
                         testing::Values(VersionCase{5, 4, false, 0}, VersionCase{5, 6, true, 5},
                                         VersionCase{5, 5, true, 5}, VersionCase{3, 5, true, 3}));

TEST(MFModelArchive, UnversionedArchiveWarnsOnceAndDecodesAsVersionZero) {
  Bytes bytes = rawArchive(MFArchiveVersioned::staticClass(), {{"oldName", Value("legacy")}});
  std::string log;
  auto model = unarchive<MFArchiveVersioned>(bytes, &log);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->seenVersion, 0);
  EXPECT_EQ(model->name(), "legacy");
  EXPECT_THAT(log, HasSubstr("Warning: decoding an archive of MFArchiveVersioned without a version, assuming 0"));
  EXPECT_EQ(log.find("Warning", log.find("Warning") + 1), std::string::npos);
}

TEST(MFModelArchive, VersionThatIsNoNumberIsRefused) {
  Bytes bytes = rawArchive(MFArchiveVersioned::staticClass(), {{"MFModelVersion", Value("five")}});
  EXPECT_FALSE(unarchive<MFArchiveVersioned>(bytes));
}

TEST(MFModelArchive, OldExternalRepresentationNeedsTheClassToConvertIt) {
  platform::ValueDictionary old{{"MFModelVersion", Value(0)},
                                {"externalRepresentation", Value::dictionary({{"name", Value("from old")}})}};
  std::string log;
  EXPECT_FALSE(unarchive<MFArchiveVersioned>(rawArchive(MFArchiveVersioned::staticClass(), old), &log));
  EXPECT_EQ(log, "");
  auto converted = unarchive<MFArchiveOld>(rawArchive(MFArchiveOld::staticClass(), old));
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->name(), "from old");
}

TEST(MFModelArchive, FailedInitialisationIsLoggedAndGivesNil) {
  // "title" holding a number cannot be set on a string property.
  Bytes bytes = rawArchive(MFArchiveNode::staticClass(), {{"MFModelVersion", Value(0)}, {"title", Value(12)}});
  std::string log;
  EXPECT_FALSE(unarchive<MFArchiveNode>(bytes, &log));
  EXPECT_THAT(log, HasSubstr("*** Could not unarchive MFArchiveNode: Error Domain=MFModelErrorDomain Code=1"));
}

TEST(MFModelArchive, SecureCodingRefusesKeysWithoutAllowedClasses) {
  auto loose = platform::make<MFArchiveLoose>();
  loose->setAnything(Value(1));
  try {
    KeyedArchiver::archivedData(Value(loose), true);
    FAIL() << "expected an exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");
    EXPECT_THAT(e.reason(), HasSubstr("Cannot encode MFArchiveLoose securely, because keys are missing from "
                                      "+allowedSecureCodingClassesByPropertyKey: "));
    EXPECT_THAT(e.reason(), HasSubstr("anything"));
  }
}

TEST(MFModelArchive, SecureCodingDecodesDeclaredKindsAndRefusesOthers) {
  auto node = platform::make<MFArchiveNode>();
  node->setTitle("secure");
  node->setCount(9);
  Bytes bytes = KeyedArchiver::archivedData(Value(node), true);
  platform::AllowedClasses allowed{&MFArchiveNode::staticClass()};
  ErrorPtr error;
  testing::internal::CaptureStderr();
  auto back = KeyedUnarchiver::unarchivedObjectOfClasses(allowed, bytes, &error).as<MFArchiveNode>();
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(back) << (error ? error->description() : "");
  EXPECT_EQ(back->count(), 9);

  Bytes wrong = rawArchive(MFArchiveNode::staticClass(), {{"MFModelVersion", Value(0)}, {"title", Value(3)}});
  testing::internal::CaptureStderr();
  Value refused = KeyedUnarchiver::unarchivedObjectOfClasses(allowed, wrong, &error);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(refused.isNil());
  EXPECT_THAT(log, HasSubstr("*** Caught exception decoding value for key \"title\" on class MFArchiveNode: "));
}

TEST(MFModelArchive, SecureCodersRefuseClassesThatDoNotOptIn) {
  auto plain = platform::make<MFArchivePlain>();
  plain->setName("plain");
  try {
    KeyedArchiver::archivedData(Value(plain), true);
    FAIL() << "expected an exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");
    EXPECT_THAT(e.reason(), HasSubstr("MFArchivePlain"));
  }
  // Archived without secure coding, it reads back normally, but not through a secure coder.
  Bytes bytes = KeyedArchiver::archivedData(Value(plain));
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(bytes).as<MFArchivePlain>());
  ErrorPtr error;
  platform::AllowedClasses allowed{&MFArchivePlain::staticClass()};
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(allowed, bytes, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
}

}  // namespace

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_error.h"
#include "platform/cloud/cloud_internal.h"
#include "platform/cloud/cloud_operations.h"
#include "platform/cloud/cloud_record.h"
#include "platform/codecs/keyed_archiver.h"
#include "support/temp_dir.h"

namespace platform {
namespace {

CloudRecordPtr sampleRecord() {
  auto record = CloudRecord::make("Events", CloudRecordID::make("A1", CloudZoneID("Events")));
  record->setObject(Value("Launch"), "name");
  record->setObject(Value(std::uint64_t{2}), "state");
  record->setObject(Value(Date(123.5)), "date");
  record->setObject(Value(Value::array({Value(1), Value("x")})), "list");
  return record;
}

TEST(CloudRecord, SettingValuesMarksKeysChangedAndRefusesKindsTheServiceCannotHold) {
  auto record = sampleRecord();
  EXPECT_EQ(record->changedKeys(), (std::vector<std::string>{"name", "state", "date", "list"}));
  EXPECT_EQ(record->objectForKey("name"), Value("Launch"));
  record->setObject(Value(), "name");  // removing is a change too
  EXPECT_TRUE(record->objectForKey("name").isNil());
  EXPECT_EQ(record->allKeys(), (std::vector<std::string>{"state", "date", "list"}));
  EXPECT_EQ(record->changedKeys().size(), 4u);
  for (const Value& bad : {Value::dictionary({{"a", Value(1)}}), Value(Value::array({Value::array({})})),
                           Value::setOf({Value(1)}), Value(record)}) {
    EXPECT_THROW(record->setObject(bad, "bad"), Exception) << bad.description();
  }
  EXPECT_THROW(record->setObject(Value(1), ""), Exception);
  EXPECT_THROW(record->setObject(Value(1), std::string(256, 'k')), Exception);
  EXPECT_THROW(CloudRecord::make("", CloudRecordID::make("x", CloudZoneID("z"))), Exception);
}

TEST(CloudRecord, CopiesKeepWhatTheySay) {
  auto record = sampleRecord();
  auto copy = record->copyRecord();
  EXPECT_EQ(copy->allKeys(), record->allKeys());
  EXPECT_EQ(copy->changedKeys(), record->changedKeys());
  EXPECT_TRUE(copy->recordID()->isEqual(*record->recordID()));
  copy->setObject(Value("other"), "name");
  EXPECT_EQ(record->objectForKey("name"), Value("Launch")) << "a copy is independent";

  auto bare = record->copyWithSystemFieldsOnly();
  EXPECT_EQ(bare->recordType(), "Events");
  EXPECT_TRUE(bare->allKeys().empty());
  EXPECT_TRUE(bare->changedKeys().empty());
}

TEST(CloudRecord, ArchivesWholeOrSystemFieldsOnly) {
  auto record = sampleRecord();
  Bytes whole = KeyedArchiver::archivedData(Value(record));
  ErrorPtr error;
  auto decoded = KeyedUnarchiver::unarchivedObject(whole, &error).as<CloudRecord>();
  ASSERT_TRUE(decoded) << (error ? error->description() : "");
  EXPECT_EQ(decoded->recordType(), "Events");
  EXPECT_TRUE(decoded->recordID()->isEqual(*record->recordID()));
  EXPECT_EQ(decoded->objectForKey("date"), Value(Date(123.5)));
  EXPECT_EQ(decoded->objectForKey("state"), Value(std::uint64_t{2}));
  EXPECT_EQ(decoded->objectForKey("list"), record->objectForKey("list"));
  EXPECT_EQ(decoded->changedKeys(), record->changedKeys()) << "a whole archive keeps what is still to be saved";

  Bytes system = KeyedArchiver::archivedData(Value(record->copyWithSystemFieldsOnly()));
  auto bare = KeyedUnarchiver::unarchivedObject(system, &error).as<CloudRecord>();
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->allKeys().empty());
  EXPECT_TRUE(bare->changedKeys().empty());
  EXPECT_LT(system.size(), whole.size());

  // encodeSystemFieldsWithCoder writes the same system fields inside another object's archive.
  KeyedArchiver coder;
  record->encodeSystemFieldsWithCoder(coder);
  Bytes fields = coder.encodedData();
  KeyedUnarchiver reader(fields);
  EXPECT_EQ(reader.decodeString("recordType"), "Events");
  EXPECT_FALSE(reader.containsValue("values"));

  // A value of the wrong kind under a record key decodes as nil, not as a broken record.
  KeyedArchiver damaged;
  damaged.encodeValue(Value(Value::array({Value(1)})), "recordType");
  Bytes bad = damaged.encodedData();
  KeyedUnarchiver badReader(bad);
  auto instance = platform::make<CloudRecord>();
  EXPECT_FALSE(instance->initWithCoder(badReader));
}

// What the server sends is read only where a record can hold it and send it back: a record read
// from the server must always archive and save again.
TEST(CloudFieldCodec, ServerValuesAreReadOnlyWhereARecordCanHoldThem) {
  const std::string longKey(256, 'k');
  struct Case {
    const char* what;
    std::string json;
    std::vector<std::string> keys;  // the keys read, sorted
  } cases[] = {
      {"every kind",
       R"({"s":{"s":"x"},"i":{"i":-1},"u":{"u":1},"d":{"d":"NaN"},"b":{"b":true},"t":{"t":1.5},)"
       R"("x":{"x":"AAE="},"a":{"a":[{"i":1},{"s":"y"}]}})",
       {"a", "b", "d", "i", "s", "t", "u", "x"}},
      {"a string with NUL", R"({"bad":{"s":"a\u0000b"},"ok":{"s":"ab"}})", {"ok"}},
      {"NUL inside an array", R"({"bad":{"a":[{"s":"\u0000"}]},"ok":{"a":[]}})", {"ok"}},
      {"a number past the double range spoils the document", R"({"bad":{"t":1e999},"ok":{"t":0}})", {}},
      {"an empty key", R"({"":{"s":"x"},"ok":{"s":"x"}})", {"ok"}},
      {"a key of 256 bytes", R"({")" + longKey + R"(":{"s":"x"},"ok":{"s":"x"}})", {"ok"}},
      {"a key of 255 bytes", R"({")" + longKey.substr(1) + R"(":{"s":"x"}})", {longKey.substr(1)}},
      {"Base64 that is not", R"({"bad":{"x":"!!"},"ok":{"x":""}})", {"ok"}},
      {"an unknown tag", R"({"bad":{"q":1},"ok":{"b":false}})", {"ok"}},
      {"not an object", R"([1,2])", {}},
      {"not JSON", "{", {}},
  };
  for (const Case& c : cases) {
    ValueDictionary fields = detail::decodeFieldsJson(c.json);
    std::vector<std::string> keys = fields.keys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, c.keys) << c.what;
    EXPECT_TRUE(detail::fieldsAreEncodable(fields)) << c.what;
    for (const auto& [key, value] : fields) EXPECT_TRUE(CloudRecord::isValidFieldValue(value)) << c.what << ": " << key;
  }
}

TEST(CloudFieldCodec, ARecordWithoutATypeFromTheServerIsAnErrorNotACrash) {
  auto id = CloudRecordID::make("r", CloudZoneID("Events"));
  try {
    detail::makeServerRecord("", id, "{}", "tag", std::nullopt, "", std::nullopt, "");
    ADD_FAILURE() << "a record without a type was made";
  } catch (const detail::CloudFailure& failure) {
    EXPECT_EQ(failure.error->code(), static_cast<std::int64_t>(CloudErrorCode::InternalError));
  }
  auto record = detail::makeServerRecord("Events", id, R"({"n":{"i":3}})", "tag", 0.0, "me", 1.0, "me");
  EXPECT_EQ(record->objectForKey("n"), Value(std::int64_t{3}));
  EXPECT_EQ(record->recordChangeTag(), "tag");
}

// One text column of one row, as libpq hands it over (nullopt: NULL).
detail::PgRows oneValue(const std::optional<std::string>& value) {
  PGresult* result = PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK);
  char name[] = "c";
  PGresAttDesc column{name, 0, 0, 0, 25, -1, -1};
  EXPECT_TRUE(PQsetResultAttrs(result, 1, &column));
  EXPECT_TRUE(PQsetvalue(result, 0, 0, value ? const_cast<char*>(value->data()) : nullptr,
                         value ? static_cast<int>(value->size()) : -1));
  return detail::PgRows(result);
}

TEST(CloudRows, TextThatNoServiceAnswerHoldsIsAnErrorNotData) {
  struct Case {
    const char* what;
    std::optional<std::string> value;
    bool fails;
  } cases[] = {
      {"plain text", "Events", false},
      {"UTF-8 text", "caf\xc3\xa9", false},
      {"empty text", "", false},
      {"NULL", std::nullopt, false},
      {"a byte that is not UTF-8", "tag\xff", true},
      {"a cut sequence", "caf\xc3", true},
      {"NUL inside", std::string("a\0b", 3), true},
  };
  for (const Case& c : cases) {
    detail::PgRows rows = oneValue(c.value);
    try {
      EXPECT_EQ(rows.text(0, 0), c.value) << c.what;
      EXPECT_FALSE(c.fails) << c.what << " was read as data";
    } catch (const detail::CloudFailure& failure) {
      EXPECT_TRUE(c.fails) << c.what << ": " << failure.error->description();
      EXPECT_EQ(failure.error->code(), static_cast<std::int64_t>(CloudErrorCode::InternalError)) << c.what;
    }
  }
}

TEST(CloudRecordID, EqualityHashAndArchive) {
  auto a = CloudRecordID::make("A", CloudZoneID("Events"));
  auto b = CloudRecordID::make("A", CloudZoneID("Events"));
  auto c = CloudRecordID::make("A", CloudZoneID("Other"));
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(*c));
  EXPECT_EQ(a->zoneID().ownerName, kCloudCurrentUserDefaultName);
  auto decoded = KeyedUnarchiver::unarchivedObject(KeyedArchiver::archivedData(Value(a))).as<CloudRecordID>();
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*a));
  auto token = CloudServerChangeToken::make("abc:3");
  auto decodedToken =
      KeyedUnarchiver::unarchivedObject(KeyedArchiver::archivedData(Value(token))).as<CloudServerChangeToken>();
  ASSERT_TRUE(decodedToken);
  EXPECT_TRUE(decodedToken->isEqual(*token));
}

TEST(CloudError, PartialFailureCarriesEachItemWithItsID) {
  auto id = CloudRecordID::make("A", CloudZoneID("Events"));
  auto missing = makeCloudError(CloudErrorCode::UnknownItem, "Record A not found in zone Events");
  auto error = makeCloudPartialFailure(
      {{Value(id), missing}, {Value("Zone"), makeCloudError(CloudErrorCode::ZoneNotFound, "x")}}, "Some failed");
  EXPECT_TRUE(isCloudError(*error, CloudErrorCode::PartialFailure));
  auto items = cloudPartialErrors(*error);
  ASSERT_EQ(items.size(), 2u);
  ASSERT_TRUE(items[0].itemID.as<CloudRecordID>());
  EXPECT_TRUE(items[0].itemID.as<CloudRecordID>()->isEqual(*id));
  EXPECT_EQ(items[0].error->code(), 11);
  EXPECT_EQ(items[0].error->userInfo()[kCloudErrorDescriptionKey], Value("Record A not found in zone Events"));
  EXPECT_EQ(items[1].itemID, Value("Zone"));
  EXPECT_TRUE(cloudPartialErrors(*missing).empty());
}

class CloudConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"ZORVEL_CLOUD_DATABASE", "XDG_CONFIG_HOME"}) {
      const char* v = getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    unsetenv("ZORVEL_CLOUD_DATABASE");
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  void writeFile(const std::string& text) {
    std::filesystem::create_directories(dir_.path() / "zorvel");
    std::ofstream(dir_.path() / "zorvel" / "cloud-database.conf") << text;
  }
  zorvel::test::TempDir dir_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(CloudConfigurationTest, EnvironmentWinsOverTheFileAndNeitherMeansNoAccount) {
  EXPECT_FALSE(CloudConfiguration::fromUserSettings().isConfigured());
  EXPECT_EQ(CloudConfiguration::userSettingsFilePath(), (dir_.path() / "zorvel" / "cloud-database.conf").string());
  writeFile("# the account\n\n   host=example.invalid user=me  \nsecond line\n");
  EXPECT_EQ(CloudConfiguration::fromUserSettings().connectionString, "host=example.invalid user=me");
  setenv("ZORVEL_CLOUD_DATABASE", "host=other", 1);
  EXPECT_EQ(CloudConfiguration::fromUserSettings().connectionString, "host=other");
  setenv("ZORVEL_CLOUD_DATABASE", "  ", 1);
  EXPECT_EQ(CloudConfiguration::fromUserSettings().connectionString, "host=example.invalid user=me");
}

TEST_F(CloudConfigurationTest, WithoutAnAccountEveryOperationFailsNotAuthenticated) {
  auto container = CloudContainer::containerWithIdentifier("test.unconfigured");
  auto database = container->privateCloudDatabase();
  EXPECT_EQ(container->privateCloudDatabase(), database);
  std::vector<std::shared_ptr<CloudDatabaseOperation>> ops;
  std::vector<ErrorPtr> errors(4);
  auto zones = CloudFetchRecordZonesOperation::make({CloudZoneID("Events")});
  zones->setFetchRecordZonesCompletionBlock([&](auto&, const ErrorPtr& e) { errors[0] = e; });
  auto records = CloudModifyRecordsOperation::make({sampleRecord()}, {});
  records->setModifyRecordsCompletionBlock([&](auto&, auto&, const ErrorPtr& e) { errors[1] = e; });
  auto changes = CloudFetchRecordZoneChangesOperation::make({CloudZoneID("Events")});
  ErrorPtr zoneError;
  changes->setRecordZoneFetchCompletionBlock([&](auto&, auto&, bool, const ErrorPtr& e) { zoneError = e; });
  changes->setFetchRecordZoneChangesCompletionBlock([&](const ErrorPtr& e) { errors[2] = e; });
  auto fetch = CloudFetchRecordsOperation::make({CloudRecordID::make("A", CloudZoneID("Events"))});
  fetch->setFetchRecordsCompletionBlock([&](auto&, const ErrorPtr& e) { errors[3] = e; });
  for (auto op : std::vector<std::shared_ptr<CloudDatabaseOperation>>{zones, records, changes, fetch}) {
    database->addOperation(op);
    op->waitUntilFinished();
  }
  for (const ErrorPtr& e : errors) {
    ASSERT_TRUE(e);
    EXPECT_TRUE(isCloudError(*e, CloudErrorCode::NotAuthenticated)) << e->description();
  }
  ASSERT_TRUE(zoneError);
  EXPECT_EQ(zoneError->code(), 9);

  // Configured later while the application runs: the next operation uses it.
  writeFile("host=127.0.0.1 port=1 connect_timeout=2\n");
  ErrorPtr later;
  auto again = CloudFetchRecordZonesOperation::make({CloudZoneID("Events")});
  again->setFetchRecordZonesCompletionBlock([&](auto&, const ErrorPtr& e) { later = e; });
  database->addOperation(again);
  again->waitUntilFinished();
  ASSERT_TRUE(later);
  EXPECT_EQ(later->code(), static_cast<std::int64_t>(CloudErrorCode::NetworkUnavailable)) << later->description();
}

TEST(CloudDatabase, ConnectionProblemsMapToTheirCodes) {
  struct Case {
    const char* connectionString;
    CloudErrorCode code;
  } cases[] = {
      {"host=127.0.0.1 port=1 connect_timeout=2", CloudErrorCode::NetworkUnavailable},
      {"this is = not = a connection string", CloudErrorCode::NotAuthenticated},
  };
  for (const Case& c : cases) {
    auto database = CloudContainer::createWithConnectionString("test", c.connectionString)->privateCloudDatabase();
    ErrorPtr error;
    auto op = CloudFetchSubscriptionsOperation::fetchAllSubscriptionsOperation();
    op->setFetchSubscriptionCompletionBlock([&](auto&, const ErrorPtr& e) { error = e; });
    database->addOperation(op);
    op->waitUntilFinished();
    ASSERT_TRUE(error) << c.connectionString;
    EXPECT_EQ(error->code(), static_cast<std::int64_t>(c.code)) << error->description();
  }
}

TEST(CloudDatabase, CancelledOperationAnswersCancelled) {
  auto database = CloudContainer::createWithConnectionString("test", "host=127.0.0.1 port=1")->privateCloudDatabase();
  database->operationQueue()->setSuspended(true);
  ErrorPtr error;
  int calls = 0;
  auto op = CloudModifyRecordsOperation::make({sampleRecord()}, {});
  op->setModifyRecordsCompletionBlock([&](auto&, auto&, const ErrorPtr& e) {
    error = e;
    ++calls;
  });
  database->addOperation(op);
  op->cancel();
  database->operationQueue()->setSuspended(false);
  op->waitUntilFinished();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(error);
  EXPECT_TRUE(isCloudError(*error, CloudErrorCode::OperationCancelled));
}

}  // namespace
}  // namespace platform

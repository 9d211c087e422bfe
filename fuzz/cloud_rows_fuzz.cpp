// A server row into the cloud client's decoding, as the zone-changes fetch reads one: the record's
// fields (tagged JSON values, Base64 data), type and system fields, and the zone's incarnation and
// change number that make the next change token. Whatever the server sends, the client must decode
// it or fail the request with a cloud error, never crash or throw anything else; what it decodes
// must be what a record may hold, must encode again unchanged, and must survive the archive the
// application keeps records and tokens in.
//
// Input: the row's columns separated by 0x1F: fields JSON, record type, change tag, creation
// epoch, creator, modification epoch, zone incarnation, change number; a column "\N" is NULL.

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cloud/cloud_internal.h"
#include "platform/cloud/cloud_record.h"
#include "platform/codecs/keyed_archiver.h"

using namespace platform;
using namespace platform::detail;

// Stops the run, naming the broken expectation, when `condition` does not hold.
#define FUZZ_REQUIRE(condition)                                                          \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "broken expectation at line %d: %s\n", __LINE__, #condition); \
      __builtin_trap();                                                                  \
    }                                                                                    \
  } while (false)

namespace {

constexpr int kColumns = 8;
enum Column { kFields, kType, kTag, kCreated, kCreator, kModified, kIncarnation, kNumber };

std::vector<std::string> columnsOf(std::string_view input) {
  std::vector<std::string> columns;
  std::size_t start = 0;
  while (columns.size() + 1 < kColumns) {
    std::size_t end = input.find('\x1f', start);
    if (end == std::string_view::npos) break;
    columns.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  columns.emplace_back(input.substr(start));
  columns.resize(kColumns);
  return columns;
}

// The row as libpq would hand it over, text columns.
PGresult* rowOf(const std::vector<std::string>& columns) {
  PGresult* result = PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK);
  FUZZ_REQUIRE(result);
  std::vector<PGresAttDesc> attributes(kColumns);
  std::vector<std::string> names(kColumns);
  for (int i = 0; i < kColumns; ++i) {
    names[i] = "c" + std::to_string(i);
    attributes[i] = PGresAttDesc{names[i].data(), 0, 0, 0, 25, -1, -1};
  }
  FUZZ_REQUIRE(PQsetResultAttrs(result, kColumns, attributes.data()));
  for (int i = 0; i < kColumns; ++i) {
    const std::string& value = columns[i];
    bool null = value == "\\N";
    FUZZ_REQUIRE(PQsetvalue(result, 0, i, null ? nullptr : const_cast<char*>(value.data()),
                            null ? -1 : static_cast<int>(value.size())));
  }
  return result;
}

template <class T>
std::shared_ptr<T> throughArchive(const std::shared_ptr<T>& object) {
  Bytes archived = KeyedArchiver::archivedData(Value(object), true);
  ErrorPtr error;
  Value back = KeyedUnarchiver::unarchivedObjectOfClasses(AllowedClasses({&T::staticClass()}), archived, &error);
  return back.as<T>();
}

void checkFields(const std::string& json) {
  ValueDictionary fields = decodeFieldsJson(json);
  for (const auto& [key, value] : fields) {
    FUZZ_REQUIRE(!key.empty() && key.size() <= kMaxFieldKeyLength);
    FUZZ_REQUIRE(CloudRecord::isValidFieldValue(value));
  }
  FUZZ_REQUIRE(fieldsAreEncodable(fields));  // a record read can be saved back
  std::string encoded = encodeFieldsJson(fields);
  ValueDictionary again = decodeFieldsJson(encoded);
  FUZZ_REQUIRE(again.size() == fields.size() && encodeFieldsJson(again) == encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> columns = columnsOf(std::string_view(reinterpret_cast<const char*>(data), size));
  checkFields(columns[kFields]);

  PgRows rows(rowOf(columns));
  try {
    auto id = CloudRecordID::make("fuzzed", CloudZoneID("Events"));
    CloudRecordPtr record =
        makeServerRecord(rows.requiredText(0, kType), id, rows.requiredText(0, kFields), rows.requiredText(0, kTag),
                         rows.number(0, kCreated), rows.text(0, kCreator).value_or(""), rows.number(0, kModified), "");
    FUZZ_REQUIRE(record && !record->recordType().empty() && record->changedKeys().empty());
    CloudRecordPtr archived = throughArchive(record);
    FUZZ_REQUIRE(archived);
    FUZZ_REQUIRE(archived->allKeys().size() == record->allKeys().size());
    FUZZ_REQUIRE(archived->recordChangeTag() == record->recordChangeTag());
  } catch (const CloudFailure& failure) {
    FUZZ_REQUIRE(failure.error);
  }
  try {
    std::string incarnation = rows.requiredText(0, kIncarnation);
    std::int64_t number = rows.integer(0, kNumber);
    auto token = CloudServerChangeToken::make(incarnation + ":" + std::to_string(number));
    auto archived = throughArchive(token);
    FUZZ_REQUIRE(archived && archived->isEqual(*token));
  } catch (const CloudFailure& failure) {
    FUZZ_REQUIRE(failure.error);
  }
  try {
    (void)rows.boolean(0, kIncarnation);
  } catch (const CloudFailure& failure) {
    FUZZ_REQUIRE(failure.error);
  }
  return 0;
}

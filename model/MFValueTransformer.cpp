#include "model/MFValueTransformer.h"

#include <cctype>
#include <map>
#include <mutex>

#include "model/MFJSONAdapter.h"
#include "model/MFModelInternal.h"
#include "platform/runtime/format.h"

using platform::Class;
using platform::ErrorPtr;
using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

// --- URL and UUID objects ------------------------------------------------------------------------

const Class& MFURL::staticClass() {
  static const Class* cls =
      new Class("NSURL", &platform::Object::staticClass(), [] { return platform::ObjectPtr(platform::make<MFURL>()); });
  return *cls;
}

std::shared_ptr<MFURL> MFURL::URLWithString(std::string_view string) {
  static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=";
  for (std::size_t i = 0; i < string.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(string[i]);
    if (c == '%') {
      if (i + 2 >= string.size() + 0 || !std::isxdigit(static_cast<unsigned char>(string[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(string[i + 2])))
        return nullptr;
      i += 2;
      continue;
    }
    if (c >= 0x80 || !(std::isalnum(c) || allowed.find(static_cast<char>(c)) != std::string_view::npos)) return nullptr;
  }
  if (string.find('#') != string.rfind('#')) return nullptr;  // at most one fragment
  auto url = platform::make<MFURL>();
  url->string_ = std::string(string);
  return url;
}

bool MFURL::isEqual(const platform::Object& other) const {
  auto* url = dynamic_cast<const MFURL*>(&other);
  return url && url->string_ == string_;
}
std::size_t MFURL::hash() const { return std::hash<std::string>{}(string_); }
platform::ObjectPtr MFURL::copy() const {
  auto url = platform::make<MFURL>();
  url->string_ = string_;
  return url;
}
void MFURL::encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeString(string_, "NS.relative"); }
bool MFURL::initWithCoder(platform::KeyedUnarchiver& coder) {
  Value string = coder.decodeValue("NS.relative");
  if (!string.isString()) return false;
  string_ = string.asString();
  return true;
}

const Class& MFUUID::staticClass() {
  static const Class* cls = new Class("NSUUID", &platform::Object::staticClass(),
                                      [] { return platform::ObjectPtr(platform::make<MFUUID>()); });
  return *cls;
}

std::shared_ptr<MFUUID> MFUUID::withUUID(const platform::UUID& uuid) {
  auto object = platform::make<MFUUID>();
  object->uuid_ = uuid;
  return object;
}
std::shared_ptr<MFUUID> MFUUID::withUUIDString(std::string_view string) {
  auto uuid = platform::UUID::parse(string);
  return uuid ? withUUID(*uuid) : nullptr;
}
bool MFUUID::isEqual(const platform::Object& other) const {
  auto* uuid = dynamic_cast<const MFUUID*>(&other);
  return uuid && uuid->uuid_ == uuid_;
}
std::size_t MFUUID::hash() const { return std::hash<std::string>{}(uuid_.lowercaseHexString()); }
platform::ObjectPtr MFUUID::copy() const { return withUUID(uuid_); }
void MFUUID::encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeData(uuid_.octets(), "NS.uuidbytes"); }
bool MFUUID::initWithCoder(platform::KeyedUnarchiver& coder) {
  platform::Bytes bytes = coder.decodeData("NS.uuidbytes");
  if (bytes.size() != 16) return false;
  platform::UUID::Octets octets;
  std::copy(bytes.begin(), bytes.end(), octets.begin());
  uuid_ = platform::UUID(octets);
  return true;
}

// --- Errors --------------------------------------------------------------------------------------

ErrorPtr MFTransformerError(std::string description, std::string failureReason, const Value& input) {
  ValueDictionary info;
  info.set(std::string(platform::kLocalizedDescriptionKey), std::move(description));
  info.set(std::string(platform::kLocalizedFailureReasonErrorKey), std::move(failureReason));
  info.set(std::string(MFTransformerErrorHandlingInputValueErrorKey), input);  // nil input: no entry
  return platform::Error::make(std::string(MFTransformerErrorHandlingErrorDomain),
                               MFTransformerErrorHandlingErrorInvalidInput, Value(std::move(info)));
}

namespace {
Value fail(bool& success, ErrorPtr* error, std::string description, std::string reason, const Value& input) {
  success = false;
  if (error) *error = MFTransformerError(std::move(description), std::move(reason), input);
  return Value();
}
}  // namespace

// --- Base and registry ---------------------------------------------------------------------------

Value MFTransformerErrorHandling::reverseTransformedValue(const Value& value, bool* success, ErrorPtr* error) const {
  if (success) *success = false;
  if (error) {
    *error = MFTransformerError("Could not reverse transform value", "The transformer is not reversible.", value);
  }
  return Value();
}

void MFValueTransformerBase::setValueTransformerForName(MFValueTransformerPtr transformer, std::string_view name) {
  platform::ValueTransformer::setValueTransformerForName(std::move(transformer), name);
}

MFValueTransformerPtr MFValueTransformerBase::valueTransformerForName(std::string_view name) {
  return std::dynamic_pointer_cast<MFValueTransformerBase>(platform::ValueTransformer::valueTransformerForName(name));
}

// --- Block transformers --------------------------------------------------------------------------

MFValueTransformer::MFValueTransformer(MFValueTransformerBlock forwardBlock, MFValueTransformerBlock reverseBlock)
    : forward_(std::move(forwardBlock)), reverse_(std::move(reverseBlock)) {}

std::shared_ptr<MFValueTransformer> MFValueTransformer::transformerUsingForwardBlock(
    MFValueTransformerBlock forwardBlock) {
  return platform::make<MFValueTransformer>(std::move(forwardBlock), nullptr);
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformer::transformerUsingReversibleBlock(
    MFValueTransformerBlock block) {
  return transformerUsingForwardBlock(block, block);
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformer::transformerUsingForwardBlock(
    MFValueTransformerBlock forwardBlock, MFValueTransformerBlock reverseBlock) {
  return platform::make<MFReversibleValueTransformer>(std::move(forwardBlock), std::move(reverseBlock));
}

namespace {
MFValueTransformerBlock wrap(MFValueTransformerSimpleBlock block) {
  return [block = std::move(block)](const Value& value, bool&, ErrorPtr*) { return block(value); };
}
}  // namespace

std::shared_ptr<MFValueTransformer> MFValueTransformer::transformerWithBlock(MFValueTransformerSimpleBlock block) {
  return transformerUsingForwardBlock(wrap(std::move(block)));
}
std::shared_ptr<MFReversibleValueTransformer> MFValueTransformer::reversibleTransformerWithBlock(
    MFValueTransformerSimpleBlock block) {
  return transformerUsingReversibleBlock(wrap(std::move(block)));
}
std::shared_ptr<MFReversibleValueTransformer> MFValueTransformer::reversibleTransformerWithForwardBlock(
    MFValueTransformerSimpleBlock forwardBlock, MFValueTransformerSimpleBlock reverseBlock) {
  return transformerUsingForwardBlock(wrap(std::move(forwardBlock)), wrap(std::move(reverseBlock)));
}

Value MFValueTransformer::run(const MFValueTransformerBlock& block, const Value& value, bool* success,
                              ErrorPtr* error) {
  bool ok = true;
  ErrorPtr blockError;
  Value result;
  if (block) {
    result = block(value, ok, &blockError);
  } else {
    // Made without a block for this direction: nothing can run, which is a failure.
    ok = false;
  }
  if (success) *success = ok;
  if (error) *error = blockError;
  return result;
}

Value MFValueTransformer::transformedValue(const Value& value) const { return run(forward_, value, nullptr, nullptr); }

Value MFValueTransformer::transformedValue(const Value& value, bool* success, ErrorPtr* error) const {
  return run(forward_, value, success, error);
}

Value MFReversibleValueTransformer::reverseTransformedValue(const Value& value) const {
  return run(reverseBlock(), value, nullptr, nullptr);
}

Value MFReversibleValueTransformer::reverseTransformedValue(const Value& value, bool* success, ErrorPtr* error) const {
  return run(reverseBlock(), value, success, error);
}

// --- Inversion -----------------------------------------------------------------------------------

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_invertedTransformer() const {
  auto self = std::const_pointer_cast<MFValueTransformerBase>(
      std::static_pointer_cast<const MFValueTransformerBase>(shared_from_this()));
  auto* handling = dynamic_cast<const MFTransformerErrorHandling*>(this);
  if (handling) {
    auto forward = [self, handling](const Value& value, bool& success, ErrorPtr* error) {
      // A forward-only transformer has no error-reporting reverse; fall back to the plain call.
      if (!handling->respondsToReverseTransformedValueWithError()) return self->reverseTransformedValue(value);
      return handling->reverseTransformedValue(value, &success, error);
    };
    auto reverse = [self, handling](const Value& value, bool& success, ErrorPtr* error) {
      return handling->transformedValue(value, &success, error);
    };
    return MFValueTransformer::transformerUsingForwardBlock(forward, reverse);
  }
  return MFValueTransformer::transformerUsingForwardBlock(
      [self](const Value& value, bool&, ErrorPtr*) { return self->reverseTransformedValue(value); },
      [self](const Value& value, bool&, ErrorPtr*) { return self->transformedValue(value); });
}

// --- Predefined transformers ---------------------------------------------------------------------

std::shared_ptr<MFValueTransformer> MFValueTransformerBase::mf_arrayMappingTransformerWithTransformer(
    MFValueTransformerPtr transformer) {
  auto mapArray = [transformer](bool reverse) {
    return [transformer, reverse](const Value& value, bool& success, ErrorPtr* error) -> Value {
      if (value.isNil()) return Value();
      if (!value.isArray()) {
        return fail(success, error, "Could not transform non-array type",
                    platform::format("Expected an NSArray, got: %@.", value), value);
      }
      auto* handling = dynamic_cast<const MFTransformerErrorHandling*>(transformer.get());
      bool useErrors = handling && (!reverse || handling->respondsToReverseTransformedValueWithError());
      ValueArray output;
      output.reserve(value.count());
      std::size_t index = 0;
      for (const Value& element : value.asArray()) {
        if (element.isNull()) {
          output.push_back(Value::null());
          ++index;
          continue;
        }
        Value transformed;
        if (useErrors) {
          ErrorPtr elementError;
          transformed = reverse ? handling->reverseTransformedValue(element, &success, &elementError)
                                : handling->transformedValue(element, &success, &elementError);
          if (!success) {
            if (error) {
              ValueDictionary info;
              info.set(std::string(platform::kLocalizedDescriptionKey), "Could not transform array");
              info.set(std::string(platform::kLocalizedFailureReasonErrorKey),
                       platform::format("Could not transform value at index %d", static_cast<long long>(index)));
              if (elementError) info.set(std::string(platform::kUnderlyingErrorKey), Value(elementError));
              info.set(std::string(MFTransformerErrorHandlingInputValueErrorKey), value);
              *error = platform::Error::make(std::string(MFTransformerErrorHandlingErrorDomain),
                                             MFTransformerErrorHandlingErrorInvalidInput, Value(std::move(info)));
            }
            return Value();
          }
        } else {
          transformed =
              reverse ? transformer->reverseTransformedValue(element) : transformer->transformedValue(element);
        }
        if (!transformed.isNil()) output.push_back(std::move(transformed));
        ++index;
      }
      return Value(std::move(output));
    };
  };
  if (transformer->allowsReverseTransformation())
    return MFValueTransformer::transformerUsingForwardBlock(mapArray(false), mapArray(true));
  return MFValueTransformer::transformerUsingForwardBlock(mapArray(false));
}

std::shared_ptr<MFValueTransformer> MFValueTransformerBase::mf_validatingTransformerForClass(const Class& cls) {
  return MFValueTransformer::transformerUsingForwardBlock(
      [&cls](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil() || mf_valueIsKindOfClass(value, cls)) return value;
        const Class& valueClass = value.isObject() ? value.asObject()->objectClass() : platform::classOfValue(value);
        return fail(
            success, error, "Value did not match expected type",
            platform::format("Expected %1$@ to be of class %2$@ but got %3$@", value, cls.name(), valueClass.name()),
            value);
      });
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_valueMappingTransformerWithDictionary(
    MFValueMapping dictionary, Value defaultValue, Value reverseDefaultValue) {
  auto shared = std::make_shared<const MFValueMapping>(std::move(dictionary));
  return MFValueTransformer::transformerUsingForwardBlock(
      [shared, defaultValue](const Value& value, bool&, ErrorPtr*) -> Value {
        const Value key = value.isNil() ? Value::null() : value;
        for (const auto& [entryKey, mapped] : *shared) {
          if (entryKey == key) return mapped;
        }
        return defaultValue;
      },
      [shared, reverseDefaultValue](const Value& value, bool&, ErrorPtr*) -> Value {
        if (value.isNil()) return reverseDefaultValue;
        for (const auto& [entryKey, mapped] : *shared) {
          if (value == mapped) return entryKey;
        }
        return reverseDefaultValue;
      });
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformer::mf_transformerWithFormatter(
    std::shared_ptr<const MFFormatter> formatter, const Class& objectClass) {
  const Class* cls = &objectClass;
  return transformerUsingForwardBlock(
      [formatter, cls](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        std::string description = platform::format("Could not convert string to %@", cls->name());
        if (!value.isString()) {
          return fail(success, error, description, platform::format("Expected an NSString as input, got: %@.", value),
                      value);
        }
        Value object;
        std::string errorDescription;
        bool parsed = formatter->getObjectValue(object, value.asString(), &errorDescription);
        success = parsed;
        if (!errorDescription.empty()) return fail(success, error, description, errorDescription, value);
        // Without a description, what the formatter handed back decides: a refusal that leaves no object
        // of the class is reported as output of the wrong kind.
        if (!mf_valueIsKindOfClass(object, *cls)) {
          success = false;
          if (error) {
            ValueDictionary info;
            info.set(std::string(platform::kLocalizedDescriptionKey), description);
            info.set(std::string(platform::kLocalizedFailureReasonErrorKey),
                     platform::format("Expected an %@ as output from the formatter, got: %@.", cls->name(), object));
            *error = platform::Error::make(std::string(platform::kCocoaErrorDomain), 2048, Value(std::move(info)));
          }
          return Value();
        }
        return object;
      },
      [formatter, cls](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        if (!mf_valueIsKindOfClass(value, *cls)) {
          return fail(success, error, platform::format("Could not convert %@ to string", cls->name()),
                      platform::format("Expected an %@ as input, got: %@.", cls->name(), value), value);
        }
        return Value(formatter->stringForObjectValue(value));
      });
}

namespace {

class DateFormatterAdapter : public MFFormatter {
 public:
  explicit DateFormatterAdapter(std::string format) { formatter_.setDateFormat(std::move(format)); }
  platform::DateFormatter& formatter() { return formatter_; }
  bool getObjectValue(Value& object, std::string_view string, std::string*) const override {
    auto date = formatter_.dateFromString(string);
    if (!date) return false;
    object = Value(*date);
    return true;
  }
  std::string stringForObjectValue(const Value& object) const override {
    return formatter_.stringFromDate(object.asDate());
  }

 private:
  platform::DateFormatter formatter_;
};

class NumberFormatterAdapter : public MFFormatter {
 public:
  NumberFormatterAdapter(platform::NumberFormatterStyle style, std::string_view locale) : formatter_(style, locale) {}
  bool getObjectValue(Value& object, std::string_view string, std::string*) const override {
    auto number = formatter_.numberFromString(string);
    if (!number) return false;
    object = *number;
    return true;
  }
  std::string stringForObjectValue(const Value& object) const override { return formatter_.stringFromNumber(object); }

 private:
  platform::NumberFormatter formatter_;
};

}  // namespace

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_dateTransformerWithDateFormat(
    std::string dateFormat, std::string_view localeIdentifier, std::string_view timeZoneIdentifier) {
  return mf_dateTransformerWithDateFormat(std::move(dateFormat), nullptr, std::string(localeIdentifier),
                                          std::string(timeZoneIdentifier), std::nullopt);
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_dateTransformerWithDateFormat(
    std::string dateFormat, const platform::Calendar* calendar, const std::optional<std::string>& localeIdentifier,
    const std::optional<std::string>& timeZoneIdentifier, std::optional<platform::Date> defaultDate) {
  auto adapter = std::make_shared<DateFormatterAdapter>(std::move(dateFormat));
  platform::DateFormatter& formatter = adapter->formatter();
  formatter.setCalendar(calendar);
  formatter.setLocale(localeIdentifier.value_or(std::string()));
  // An unknown zone leaves the local one, as the platform's formatter keeps its zone then.
  formatter.setTimeZone(timeZoneIdentifier.value_or(std::string()));
  formatter.setDefaultDate(defaultDate);
  return MFValueTransformer::mf_transformerWithFormatter(std::move(adapter), platform::dateClass());
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_numberTransformerWithNumberStyle(
    platform::NumberFormatterStyle numberStyle, const std::optional<std::string>& localeIdentifier) {
  return MFValueTransformer::mf_transformerWithFormatter(
      std::make_shared<NumberFormatterAdapter>(numberStyle, localeIdentifier.value_or(std::string())),
      platform::numberClass());
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_JSONDictionaryTransformerWithModelClass(
    const Class& modelClass) {
  return MFJSONAdapter::dictionaryTransformerWithModelClass(modelClass);
}

std::shared_ptr<MFReversibleValueTransformer> MFValueTransformerBase::mf_JSONArrayTransformerWithModelClass(
    const Class& modelClass) {
  return MFJSONAdapter::arrayTransformerWithModelClass(modelClass);
}

// --- Named transformers, registered before main ----------------------------------------------------

namespace {

bool registerNamedTransformers() {
  MFValueTransformerBase::setValueTransformerForName(
      MFValueTransformer::transformerUsingForwardBlock(
          [](const Value& value, bool& success, ErrorPtr* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isString()) {
              return fail(success, error, "Could not convert string to URL",
                          platform::format("Expected an NSString, got: %@.", value), value);
            }
            auto url = MFURL::URLWithString(value.asString());
            if (!url) {
              return fail(success, error, "Could not convert string to URL",
                          platform::format("Input URL string %@ was malformed", value), value);
            }
            return Value(url);
          },
          [](const Value& value, bool& success, ErrorPtr* error) -> Value {
            if (value.isNil()) return Value();
            auto url = value.as<MFURL>();
            if (!url) {
              return fail(success, error, "Could not convert URL to string",
                          platform::format("Expected an NSURL, got: %@.", value), value);
            }
            return Value(url->absoluteString());
          }),
      MFURLValueTransformerName);

  MFValueTransformerBase::setValueTransformerForName(
      MFValueTransformer::transformerUsingForwardBlock(
          [](const Value& value, bool& success, ErrorPtr* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isString()) {
              return fail(success, error, "Could not convert string to UUID",
                          platform::format("Expected an NSString, got: %@.", value), value);
            }
            auto uuid = MFUUID::withUUIDString(value.asString());
            if (!uuid) {
              return fail(success, error, "Could not convert string to UUID",
                          platform::format("Input UUID string %@ was malformed", value), value);
            }
            return Value(uuid);
          },
          [](const Value& value, bool& success, ErrorPtr* error) -> Value {
            if (value.isNil()) return Value();
            auto uuid = value.as<MFUUID>();
            if (!uuid) {
              return fail(success, error, "Could not convert UUID to string",
                          platform::format("Expected an NSUUID, got: %@.", value), value);
            }
            return Value(uuid->UUIDString());
          }),
      MFUUIDValueTransformerName);

  MFValueTransformerBase::setValueTransformerForName(
      MFValueTransformer::transformerUsingReversibleBlock(
          [](const Value& value, bool& success, ErrorPtr* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isNumber()) {
              return fail(success, error, "Could not convert number to boolean-backed number or vice-versa",
                          platform::format("Expected an NSNumber, got: %@.", value), value);
            }
            return Value(value.asBool());
          }),
      MFBooleanValueTransformerName);
  return true;
}

// Static initialisation of this file runs before main, ahead of any user code that could ask
// the registry (made on its first use).
[[maybe_unused]] const bool gNamedTransformersRegistered = registerNamedTransformers();
[[maybe_unused]] const Class& gURLClass = MFURL::staticClass();
[[maybe_unused]] const Class& gUUIDClass = MFUUID::staticClass();

}  // namespace

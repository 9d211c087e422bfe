#pragma once

// Value transformers: convert one property value between its model form and its external form
// (JSON strings and numbers). MFValueTransformerBase is the general transformer with a
// process-wide registry by name; MFValueTransformer and MFReversibleValueTransformer do their
// work with blocks and report failures through a success flag and an error
// (MFTransformerErrorHandling). Also here: inversion, the predefined transformers and the three
// named transformers, registered during static initialisation, before main runs.
//
// Threads: transformers never change after creation and may be used from any thread; the name
// registry is guarded by its own lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/MFModel.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/runtime/value_transformer.h"
#include "platform/services/number_formatter.h"
#include "platform/system/calendar.h"
#include "platform/system/crypto.h"

inline constexpr std::string_view MFTransformerErrorHandlingErrorDomain = "MFTransformerErrorHandlingErrorDomain";
inline constexpr std::int64_t MFTransformerErrorHandlingErrorInvalidInput = 1;
inline constexpr std::string_view MFTransformerErrorHandlingInputValueErrorKey =
    "MFTransformerErrorHandlingInputValueErrorKey";

inline constexpr std::string_view MFURLValueTransformerName = "MFURLValueTransformerName";
inline constexpr std::string_view MFUUIDValueTransformerName = "MFUUIDValueTransformerName";
inline constexpr std::string_view MFBooleanValueTransformerName = "MFBooleanValueTransformerName";

class MFValueTransformerBase;
class MFValueTransformer;
class MFReversibleValueTransformer;
using MFValueTransformerPtr = std::shared_ptr<MFValueTransformerBase>;
// Key to value, in enumeration order; keys may be any value (the null marker stands for nil).
using MFValueMapping = std::vector<std::pair<platform::Value, platform::Value>>;

// A URL as an object (what the URL transformer makes from a string).
class MFURL : public platform::Object {
 public:
  static const platform::Class& staticClass();  // registered as "NSURL"
  const platform::Class& objectClass() const override { return staticClass(); }

  // nullptr when the text is not a well-formed URL (characters outside RFC 3986, bad escapes).
  static std::shared_ptr<MFURL> URLWithString(std::string_view string);
  const std::string& absoluteString() const { return string_; }

  std::string description() const override { return string_; }
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  platform::ObjectPtr copy() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

 private:
  friend struct platform::detail::ObjectAccess;
  MFURL() = default;
  std::string string_;
};

// A UUID as an object (what the UUID transformer makes from a string).
class MFUUID : public platform::Object {
 public:
  static const platform::Class& staticClass();  // registered as "NSUUID"
  const platform::Class& objectClass() const override { return staticClass(); }

  static std::shared_ptr<MFUUID> withUUID(const platform::UUID& uuid);
  // nullptr unless the text is the 36-character form.
  static std::shared_ptr<MFUUID> withUUIDString(std::string_view string);
  const platform::UUID& uuid() const { return uuid_; }
  std::string UUIDString() const { return uuid_.uuidString(); }

  std::string description() const override { return UUIDString(); }
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  platform::ObjectPtr copy() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

 private:
  friend struct platform::detail::ObjectAccess;
  MFUUID() = default;
  platform::UUID uuid_;
};

// The error-reporting form of the transform calls. A failing call sets *success to false and,
// when `error` is given, stores an error there; on success *success is left as the caller set it.
class MFTransformerErrorHandling {
 public:
  virtual ~MFTransformerErrorHandling() = default;
  virtual platform::Value transformedValue(const platform::Value& value, bool* success,
                                           platform::ErrorPtr* error) const = 0;
  // Whether the reverse call below is implemented (it is optional).
  virtual bool respondsToReverseTransformedValueWithError() const { return false; }
  // Default: fails (no reverse transformation).
  virtual platform::Value reverseTransformedValue(const platform::Value& value, bool* success,
                                                  platform::ErrorPtr* error) const;
};

// The model framework's transformers: the platform's value transformer (value_transformer.h)
// with the predefined transformers below. The registry is the platform's; looking a name up here
// gives only transformers of this kind.
class MFValueTransformerBase : public platform::ValueTransformer {
  ZORVEL_CLASS(MFValueTransformerBase, platform::ValueTransformer)

 public:
  static void setValueTransformerForName(MFValueTransformerPtr transformer, std::string_view name);
  static MFValueTransformerPtr valueTransformerForName(std::string_view name);

  // A reversible transformer that runs this one backwards (holding it strongly).
  std::shared_ptr<MFReversibleValueTransformer> mf_invertedTransformer() const;

  // --- Predefined transformers ---
  // Maps each element of an array through `transformer` (the null marker stays; nil results are
  // left out). Reversible when `transformer` allows reverse transformation.
  static std::shared_ptr<MFValueTransformer> mf_arrayMappingTransformerWithTransformer(
      MFValueTransformerPtr transformer);
  // Forward-only: nil or an instance of `cls` passes unchanged; anything else fails.
  static std::shared_ptr<MFValueTransformer> mf_validatingTransformerForClass(const platform::Class& cls);
  // Forward: the dictionary's value for the input (nil looked up as the null marker), else
  // `defaultValue`. Reverse: the key of the first entry equal to the input, else
  // `reverseDefaultValue`. Never fails.
  static std::shared_ptr<MFReversibleValueTransformer> mf_valueMappingTransformerWithDictionary(
      MFValueMapping dictionary, platform::Value defaultValue = {}, platform::Value reverseDefaultValue = {});
  // Strings to dates and back with an ICU pattern, locale and time zone (empty: the defaults).
  static std::shared_ptr<MFReversibleValueTransformer> mf_dateTransformerWithDateFormat(
      std::string dateFormat, std::string_view localeIdentifier, std::string_view timeZoneIdentifier = {});
  // The same with all five settings, applied in this order; nil leaves a setting at its default:
  // the calendar's week rules (else the locale's), the locale (else the default one), the time
  // zone (else the local one), the default date that fills the fields a text lacks (else none).
  static std::shared_ptr<MFReversibleValueTransformer> mf_dateTransformerWithDateFormat(
      std::string dateFormat, const platform::Calendar* calendar, const std::optional<std::string>& localeIdentifier,
      const std::optional<std::string>& timeZoneIdentifier, std::optional<platform::Date> defaultDate);
  // Strings to numbers and back in a number style and locale (nil: the default locale).
  static std::shared_ptr<MFReversibleValueTransformer> mf_numberTransformerWithNumberStyle(
      platform::NumberFormatterStyle numberStyle, const std::optional<std::string>& localeIdentifier);
  // Nested models (see MFJSONAdapter).
  static std::shared_ptr<MFReversibleValueTransformer> mf_JSONDictionaryTransformerWithModelClass(
      const platform::Class& modelClass);
  static std::shared_ptr<MFReversibleValueTransformer> mf_JSONArrayTransformerWithModelClass(
      const platform::Class& modelClass);
};

// What the formatter transformer needs of a formatter.
class MFFormatter {
 public:
  virtual ~MFFormatter() = default;
  // The object the whole string names; false on failure, with a description when it has one.
  virtual bool getObjectValue(platform::Value& object, std::string_view string,
                              std::string* errorDescription) const = 0;
  virtual std::string stringForObjectValue(const platform::Value& object) const = 0;
};

// Takes the input value and the success flag (preset to true) and an optional error out-parameter.
using MFValueTransformerBlock =
    std::function<platform::Value(const platform::Value& value, bool& success, platform::ErrorPtr* error)>;
using MFValueTransformerSimpleBlock = std::function<platform::Value(const platform::Value& value)>;

class MFValueTransformer : public MFValueTransformerBase, public MFTransformerErrorHandling {
  ZORVEL_CLASS(MFValueTransformer, MFValueTransformerBase)

 public:
  MFValueTransformer(MFValueTransformerBlock forwardBlock, MFValueTransformerBlock reverseBlock);

  // Forward-only.
  static std::shared_ptr<MFValueTransformer> transformerUsingForwardBlock(MFValueTransformerBlock forwardBlock);
  // Reversible, the same block both ways.
  static std::shared_ptr<MFReversibleValueTransformer> transformerUsingReversibleBlock(MFValueTransformerBlock block);
  // Always reversible.
  static std::shared_ptr<MFReversibleValueTransformer> transformerUsingForwardBlock(
      MFValueTransformerBlock forwardBlock, MFValueTransformerBlock reverseBlock);
  // Blocks that never fail.
  static std::shared_ptr<MFValueTransformer> transformerWithBlock(MFValueTransformerSimpleBlock block);
  static std::shared_ptr<MFReversibleValueTransformer> reversibleTransformerWithBlock(
      MFValueTransformerSimpleBlock block);
  static std::shared_ptr<MFReversibleValueTransformer> reversibleTransformerWithForwardBlock(
      MFValueTransformerSimpleBlock forwardBlock, MFValueTransformerSimpleBlock reverseBlock);
  // Strings to objects of `objectClass` and back through a formatter.
  static std::shared_ptr<MFReversibleValueTransformer> mf_transformerWithFormatter(
      std::shared_ptr<const MFFormatter> formatter, const platform::Class& objectClass);

  const MFValueTransformerBlock& forwardBlock() const { return forward_; }
  const MFValueTransformerBlock& reverseBlock() const { return reverse_; }

  // Runs the forward block; a failure gives nil and reports nothing.
  platform::Value transformedValue(const platform::Value& value) const override;
  platform::Value transformedValue(const platform::Value& value, bool* success,
                                   platform::ErrorPtr* error) const override;
  using MFTransformerErrorHandling::reverseTransformedValue;
  using MFValueTransformerBase::reverseTransformedValue;

 protected:
  // Runs a block with its own flag and error, copying them out to the given pointers.
  static platform::Value run(const MFValueTransformerBlock& block, const platform::Value& value, bool* success,
                             platform::ErrorPtr* error);

 private:
  MFValueTransformerBlock forward_;
  MFValueTransformerBlock reverse_;
};

class MFReversibleValueTransformer : public MFValueTransformer {
  ZORVEL_CLASS(MFReversibleValueTransformer, MFValueTransformer)

 public:
  using MFValueTransformer::MFValueTransformer;

  bool allowsReverseTransformation() const override { return true; }
  bool respondsToReverseTransformedValueWithError() const override { return true; }
  // A transformer made without a reverse block fails here.
  platform::Value reverseTransformedValue(const platform::Value& value) const override;
  platform::Value reverseTransformedValue(const platform::Value& value, bool* success,
                                          platform::ErrorPtr* error) const override;
};

// An error of MFTransformerErrorHandlingErrorDomain, code 1, with a description, a failure reason
// and the input value.
platform::ErrorPtr MFTransformerError(std::string description, std::string failureReason, const platform::Value& input);

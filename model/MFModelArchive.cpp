// The keyed archive of a model: "MFModelVersion" plus one key per archived property.

#include <algorithm>

#include "model/MFModel.h"
#include "model/MFModelInternal.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

using platform::AllowedClasses;
using platform::Class;
using platform::ErrorPtr;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Value;
using platform::ValueDictionary;

namespace {

// What a decode of a property declared with `cls` may accept.
AllowedClasses allowedForDeclaredClass(const Class& cls) {
  AllowedClasses allowed;
  if (&cls == &platform::stringClass())
    allowed.addKind(Value::Type::String);
  else if (&cls == &platform::numberClass())
    allowed.addNumbers();
  else if (&cls == &platform::dateClass())
    allowed.addKind(Value::Type::Date);
  else if (&cls == &platform::dataClass())
    allowed.addKind(Value::Type::Data);
  else if (&cls == &platform::arrayClass())
    allowed.addKind(Value::Type::Array);
  else if (&cls == &platform::dictionaryClass())
    allowed.addKind(Value::Type::Dictionary);
  else if (&cls == &platform::setClass())
    allowed.addKind(Value::Type::Set);
  else if (&cls == &platform::nullClass())
    allowed.addKind(Value::Type::Null);
  else if (&cls == &MFValueClass())
    allowed.addNumbers();
  else
    allowed.addClass(cls);
  return allowed;
}

bool isArchived(std::uint64_t behavior) { return behavior != MFModelEncodingBehaviorExcluded; }

}  // namespace

MFEncodingBehaviors MFModel::encodingBehaviorsByPropertyKey() const {
  MFEncodingBehaviors behaviors;
  for (const std::string& key : propertyKeys()) {
    const platform::Property* property = objectClass().property(key);
    auto attributes = property ? mf_parsePropertyAttributes(*property) : std::nullopt;
    bool weak = attributes && attributes->weak;
    behaviors[key] = weak ? MFModelEncodingBehaviorConditional : MFModelEncodingBehaviorUnconditional;
  }
  return behaviors;
}

MFAllowedClassesByKey MFModel::allowedSecureCodingClassesByPropertyKey() const {
  auto& cache = mf_detail::cacheFor(objectClass());
  if (auto allowed = cache.allowedSecureCodingClasses.get()) return *allowed;
  auto allowed = std::make_shared<MFAllowedClassesByKey>();
  for (const auto& [key, behavior] : encodingBehaviorsByPropertyKey()) {
    if (!isArchived(behavior)) continue;
    const platform::Property* property = objectClass().property(key);
    if (!property) continue;
    const std::string& type = property->typeEncoding();
    if (!type.empty() && (type[0] == '@' || type[0] == '#')) {
      auto attributes = mf_parsePropertyAttributes(*property);
      if (attributes && attributes->objectClass) (*allowed)[key] = allowedForDeclaredClass(*attributes->objectClass);
    } else {
      (*allowed)[key] = allowedForDeclaredClass(MFValueClass());
    }
  }
  return *cache.allowedSecureCodingClasses.keepFirst(std::move(allowed));
}

std::optional<ValueDictionary> MFModel::dictionaryValueFromArchivedExternalRepresentation(const Value&,
                                                                                          std::uint64_t) const {
  return std::nullopt;
}

void mf_verifyAllowedSecureCodingClasses(const MFModel& model) {
  MFAllowedClassesByKey allowed = model.allowedSecureCodingClassesByPropertyKey();
  platform::ValueSet missing;
  for (const auto& [key, behavior] : model.encodingBehaviorsByPropertyKey()) {
    if (behavior != MFModelEncodingBehaviorExcluded && !allowed.contains(key)) missing.insert(Value(key));
  }
  if (!missing.empty()) {
    platform::Exception::raiseFormat(platform::kInvalidArgumentException,
                                     "Cannot encode %@ securely, because keys are missing from "
                                     "+allowedSecureCodingClassesByPropertyKey: %@",
                                     model.objectClass().name(), Value(std::move(missing)));
  }
}

namespace {

// A coder that requires secure coding takes only classes that opt in.
void requireSecureCodingSupport(const MFModel& model) {
  if (model.supportsSecureCoding()) return;
  platform::Exception::raiseFormat(platform::kInvalidArgumentException,
                                   "This coder requires that archived classes support secure coding, and %@ does not.",
                                   model.objectClass().name());
}

}  // namespace

void MFModel::encodeWithCoder(KeyedArchiver& coder) const {
  if (coder.requiresSecureCoding()) {
    requireSecureCodingSupport(*this);
    mf_verifyAllowedSecureCodingClasses(*this);
  }
  coder.encodeValue(Value(static_cast<std::uint64_t>(modelVersion())), MFModelVersionKey);
  const MFEncodingBehaviors behaviors = encodingBehaviorsByPropertyKey();
  for (const auto& [key, value] : dictionaryValue()) {
    if (value.isNull()) continue;
    auto it = behaviors.find(key);
    std::uint64_t behavior = it == behaviors.end() ? MFModelEncodingBehaviorExcluded : it->second;
    try {
      if (behavior == MFModelEncodingBehaviorUnconditional) {
        coder.encodeValue(value, key);
      } else if (behavior == MFModelEncodingBehaviorConditional) {
        // Plain values have no identity another part of the archive could share, so only
        // objects can be kept conditionally; a plain value reads back as nil, as if dropped.
        if (value.isObject()) coder.encodeConditionalObject(value.asObject(), key);
      }
    } catch (const platform::Exception& exception) {
      ZORVEL_DIAGNOSTIC_ERROR(platform::format("*** Caught exception encoding value for key \"%@\" on class %@: %@",
                                               key, objectClass().name(), exception));
      throw;
    }
  }
}

bool MFModel::initWithCoder(KeyedUnarchiver& coder) {
  const bool secure = coder.requiresSecureCoding();
  if (secure && !supportsSecureCoding()) {
    platform::ValueDictionary info;
    info.set(std::string(platform::kLocalizedDescriptionKey),
             "The data couldn’t be read because it isn’t in the correct format.");
    info.set(std::string(platform::kDebugDescriptionErrorKey),
             platform::format("class %@ does not support secure coding", objectClass().name()));
    coder.failWithError(platform::Error::make(std::string(platform::kCocoaErrorDomain),
                                              platform::kCoderReadCorruptError, Value(std::move(info))));
    return false;
  }
  Value version = secure ? coder.decodeObjectOfClasses(AllowedClasses().addNumbers(), MFModelVersionKey)
                         : coder.decodeValue(MFModelVersionKey);
  std::uint64_t archivedVersion = 0;
  if (!version.isNil()) {
    // A version that is no number cannot be compared: the archive is not one of ours.
    if (!version.isNumber() || version.isBool()) return false;
    if (version.isInteger() && version.type() == Value::Type::Int && version.asInt64() < 0) return false;
    archivedVersion = version.asUInt64();
    if (archivedVersion > modelVersion()) return false;
  } else {
    if (coder.error()) return false;
    ZORVEL_DIAGNOSTIC_ERROR(
        platform::format("Warning: decoding an archive of %@ without a version, assuming 0", objectClass().name()));
  }

  if (secure) {
    mf_verifyAllowedSecureCodingClasses(*this);
  } else {
    Value external = coder.decodeValue("externalRepresentation");
    if (!external.isNil()) {
      auto dictionary = dictionaryValueFromArchivedExternalRepresentation(external, archivedVersion);
      if (!dictionary) return false;
      ErrorPtr error;
      if (!initWithDictionary(*dictionary, &error)) {
        ZORVEL_DIAGNOSTIC_ERROR(
            platform::format("*** Could not decode old %@ archive: %@", objectClass().name(), error));
        return false;
      }
      return true;
    }
  }

  ValueDictionary values;
  for (const std::string& key : propertyKeys()) {
    Value value = decodeValueForKey(key, coder, archivedVersion);
    if (!value.isNil()) values.set(key, std::move(value));
  }
  // A refused or damaged value stops the unarchiver; the model must not come out half-read.
  if (coder.error()) return false;
  ErrorPtr error;
  if (!initWithDictionary(values, &error)) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("*** Could not unarchive %@: %@", objectClass().name(), error));
    return false;
  }
  return true;
}

Value MFModel::decodeValueForKey(std::string_view key, KeyedUnarchiver& coder, std::uint64_t modelVersion) {
  auto selector = mf_selectorWithCapitalizedKey("decode", key, "WithCoder:modelVersion:");
  if (selector && respondsToSelector(*selector)) {
    return perform(*selector, {Value(platform::make<MFCoderReference>(&coder)), Value(modelVersion)});
  }
  const bool hadError = coder.error() != nullptr;
  Value value;
  if (coder.requiresSecureCoding()) {
    MFAllowedClassesByKey allowed = allowedSecureCodingClassesByPropertyKey();
    auto it = allowed.find(key);
    value = coder.decodeObjectOfClasses(it == allowed.end() ? AllowedClasses() : it->second, key);
  } else {
    value = coder.decodeValue(key);
  }
  // The unarchiver reports refusals as a recorded error rather than by raising.
  if (!hadError && coder.error()) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("*** Caught exception decoding value for key \"%@\" on class %@: %@", key,
                                             objectClass().name(), coder.error()));
  }
  return value;
}

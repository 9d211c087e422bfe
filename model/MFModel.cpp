#include "model/MFModel.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "model/MFModelInternal.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"
#include "platform/system/locks.h"
#include "platform/system/text.h"

using platform::Class;
using platform::ErrorPtr;
using platform::Property;
using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

// --- Attribute parsing ---------------------------------------------------------------------------

namespace {

// Length of the one type encoding at the start of `s`, or npos when it cannot be read.
std::size_t typeEncodingLength(std::string_view s, int depth = 0) {
  if (depth > 64) return std::string_view::npos;
  std::size_t i = 0;
  while (i < s.size() && std::strchr("rnNoORVAj", s[i])) ++i;  // qualifiers
  if (i >= s.size()) return std::string_view::npos;
  char c = s[i++];
  switch (c) {
    case 'c':
    case 'i':
    case 's':
    case 'l':
    case 'q':
    case 'C':
    case 'I':
    case 'S':
    case 'L':
    case 'Q':
    case 'f':
    case 'd':
    case 'D':
    case 'B':
    case 'v':
    case '*':
    case '#':
    case ':':
    case '?':
      return i;
    case '@':
      if (i < s.size() && s[i] == '"') {
        std::size_t close = s.find('"', i + 1);
        if (close == std::string_view::npos) return std::string_view::npos;
        return close + 1;
      }
      if (i < s.size() && s[i] == '?') return i + 1;  // block
      return i;
    case '^': {
      std::size_t n = typeEncodingLength(s.substr(i), depth + 1);
      return n == std::string_view::npos ? n : i + n;
    }
    case 'b': {
      std::size_t start = i;
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
      return i == start ? std::string_view::npos : i;
    }
    case '[': {
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
      std::size_t n = typeEncodingLength(s.substr(i), depth + 1);
      if (n == std::string_view::npos) return n;
      i += n;
      if (i >= s.size() || s[i] != ']') return std::string_view::npos;
      return i + 1;
    }
    case '{':
    case '(': {
      char close = c == '{' ? '}' : ')';
      while (i < s.size() && s[i] != '=' && s[i] != close) ++i;
      if (i >= s.size()) return std::string_view::npos;
      if (s[i] == '=') {
        ++i;
        while (i < s.size() && s[i] != close) {
          std::size_t n = typeEncodingLength(s.substr(i), depth + 1);
          if (n == std::string_view::npos) return n;
          i += n;
        }
        if (i >= s.size()) return std::string_view::npos;
      }
      return i + 1;
    }
    default:
      return std::string_view::npos;
  }
}

// The parser's complaints, printf-formatted, as library diagnostics (their formats end in a line
// break, which the diagnostic leaves to whoever writes it out).
void reportFormatted(platform::DiagnosticSeverity severity, const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  platform::reportDiagnostic(severity, text);
}

[[gnu::format(printf, 1, 2)]] void reportError(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  reportFormatted(platform::DiagnosticSeverity::Error, format, args);
  va_end(args);
}

[[gnu::format(printf, 1, 2)]] void reportWarning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  reportFormatted(platform::DiagnosticSeverity::Warning, format, args);
  va_end(args);
}

}  // namespace

std::optional<MFPropertyAttributes> mf_parsePropertyAttributes(std::string_view attributeString,
                                                               std::string_view propertyName) {
  const std::string attrs(attributeString);
  const std::string name(propertyName);
  if (attrs.empty() || attrs[0] != 'T') {
    reportError("ERROR: Expected attribute string \"%s\" for property %s to start with 'T'\n", attrs.c_str(),
                name.c_str());
    return std::nullopt;
  }
  std::size_t typeLength = typeEncodingLength(std::string_view(attrs).substr(1));
  if (typeLength == std::string_view::npos) {
    reportError("ERROR: Could not read past type in attribute string \"%s\" for property %s\n", attrs.c_str(),
                name.c_str());
    return std::nullopt;
  }
  if (typeLength == 0) {
    reportError("ERROR: Invalid type in attribute string \"%s\" for property %s\n", attrs.c_str(), name.c_str());
    return std::nullopt;
  }
  MFPropertyAttributes result;
  result.type = attrs.substr(1, typeLength);
  std::size_t next = 1 + typeLength;  // index into attrs; attrs.size() is the terminating zero

  if (result.type.size() >= 2 && result.type[0] == '@' && result.type[1] == '"') {
    std::size_t nameStart = 3;  // after T@"
    std::size_t close = attrs.find('"', nameStart);
    if (close == std::string::npos) {
      reportError("ERROR: Could not read class name in attribute string \"%s\" for property %s\n", attrs.c_str(),
                  name.c_str());
      return std::nullopt;
    }
    if (close > nameStart)
      result.objectClass = Class::named(std::string_view(attrs).substr(nameStart, close - nameStart));
    next = close;
  }

  bool haveNext = true;
  if (next < attrs.size()) {
    std::size_t comma = attrs.find(',', next);
    if (comma == std::string::npos)
      haveNext = false;
    else
      next = comma;
  }
  auto at = [&](std::size_t i) { return i < attrs.size() ? attrs[i] : '\0'; };
  while (haveNext && at(next) == ',') {
    char flag = at(next + 1);
    next = std::min(next + 2, attrs.size());
    switch (flag) {
      case '\0':
        break;
      case 'R':
        result.readonly = true;
        break;
      case 'N':
        result.nonatomic = true;
        break;
      case 'W':
        result.weak = true;
        break;
      case 'P':
        result.canBeCollected = true;
        break;
      case 'C':
        result.memoryManagementPolicy = MFPropertyMemoryPolicy::Copy;
        break;
      case '&':
        result.memoryManagementPolicy = MFPropertyMemoryPolicy::Retain;
        break;
      case 'D':
        result.dynamic = true;
        result.ivar.reset();
        break;
      case 'G':
      case 'S': {
        std::size_t comma = attrs.find(',', next);
        std::string selector;
        if (comma == std::string::npos) {
          selector = attrs.substr(next);
          next = attrs.size();
        } else {
          if (comma == next) {
            reportError("ERROR: Found zero length selector name in attribute string \"%s\" for property %s\n",
                        attrs.c_str(), name.c_str());
            return std::nullopt;
          }
          selector = attrs.substr(next, comma - next);
          next = comma;
        }
        (flag == 'G' ? result.getter : result.setter) = selector;
        break;
      }
      case 'V':
        if (next < attrs.size())
          result.ivar = attrs.substr(next);
        else
          result.ivar.reset();
        next = attrs.size();
        break;
      case 't': {
        reportError("ERROR: Old-style type encoding is unsupported in attribute string \"%s\" for property %s\n",
                    attrs.c_str(), name.c_str());
        std::size_t comma = attrs.find(',', next);
        if (comma == std::string::npos)
          haveNext = false;
        else
          next = comma;
        break;
      }
      default:
        reportError("ERROR: Unrecognized attribute string flag '%c' in attribute string \"%s\" for property %s\n", flag,
                    attrs.c_str(), name.c_str());
        break;
    }
    if (flag == '\0') break;
  }
  if (haveNext && next < attrs.size() && attrs[next] != ',') {
    reportWarning("Warning: Unparsed data \"%s\" in attribute string \"%s\" for property %s\n", attrs.c_str() + next,
                  attrs.c_str(), name.c_str());
  }
  if (result.getter.empty()) result.getter = name;
  if (result.setter.empty()) {
    std::string setter = "set" + name + ":";
    if (!name.empty()) setter[3] = static_cast<char>(std::toupper(static_cast<unsigned char>(setter[3])));
    result.setter = std::move(setter);
  }
  return result;
}

std::optional<MFPropertyAttributes> mf_parsePropertyAttributes(const Property& property) {
  if (property.attributeString().empty()) {
    reportError("ERROR: Could not get attribute string from property %s\n", property.name().c_str());
    return std::nullopt;
  }
  return mf_parsePropertyAttributes(property.attributeString(), property.name());
}

// --- Selector builders ---------------------------------------------------------------------------

std::optional<std::string> mf_selectorWithKeySuffix(std::string_view key, std::string_view suffix) {
  if (!platform::isValidUtf8(key)) return std::nullopt;
  std::string selector;
  selector.reserve(key.size() + suffix.size());
  selector.append(key).append(suffix);
  return selector;
}

std::optional<std::string> mf_selectorWithCapitalizedKey(std::string_view prefix, std::string_view key,
                                                         std::string_view suffix) {
  if (!platform::isValidUtf8(key)) return std::nullopt;
  std::string selector;
  selector.reserve(prefix.size() + key.size() + suffix.size());
  selector.append(prefix).append(key).append(suffix);
  // Property names are identifiers, so the first character is ASCII whenever it has a case.
  if (!key.empty()) {
    char& first = selector[prefix.size()];
    first = static_cast<char>(std::toupper(static_cast<unsigned char>(first)));
  }
  return selector;
}

// --- Errors and validation -----------------------------------------------------------------------

ErrorPtr mf_modelErrorWithException(const platform::Exception& exception) {
  ValueDictionary info;
  info.set(std::string(platform::kLocalizedDescriptionKey), exception.description());
  info.set(std::string(platform::kLocalizedFailureReasonErrorKey), exception.reason());
  info.set(std::string(MFModelThrownExceptionErrorKey), Value(platform::make<MFThrownException>(exception)));
  return platform::Error::make(std::string(MFModelErrorDomain), MFModelErrorExceptionThrown, Value(std::move(info)));
}

bool mf_validateAndSet(platform::Object& object, std::string_view key, const Value& value, bool forceUpdate,
                       ErrorPtr* error) {
  try {
    Value validated = value;
    if (!object.validateValueForKey(validated, key, error)) return false;
    bool replaced = validated.type() != value.type() || !(validated == value);
    if (forceUpdate || replaced) object.setValueForKey(validated, key);
    return true;
  } catch (const platform::Exception& exception) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("*** Caught exception setting key \"%@\" : %@", key, exception));
    if (error) *error = mf_modelErrorWithException(exception);
    return false;
  }
}

// --- Kinds of values -----------------------------------------------------------------------------

const Class& MFValueClass() {
  static const Class* cls = new Class("NSValue", &platform::Object::staticClass(), nullptr);
  return *cls;
}

bool mf_valueIsKindOfClass(const Value& value, const Class& cls) {
  if (value.isObject()) return value.asObject()->isKindOf(cls);
  if (&cls == &MFValueClass()) return value.isNumber();
  return platform::classOfValue(value).isSubclassOf(cls);
}

// --- Per-class caches ----------------------------------------------------------------------------

namespace mf_detail {

ModelClassCache& cacheFor(const Class& cls) {
  // Never destroyed: objects may outlive static destruction.
  static platform::Mutex& mutex = *new platform::Mutex;
  static auto& caches ZORVEL_GUARDED_BY(mutex) =
      *new std::unordered_map<const Class*, std::unique_ptr<ModelClassCache>>;
  platform::MutexLock lock(mutex);
  auto& slot = caches[&cls];
  if (!slot) slot = std::make_unique<ModelClassCache>();
  return *slot;  // entries are never removed, so the reference stays valid
}

}  // namespace mf_detail

using mf_detail::cacheFor;

const MFModel* MFModel::forClass(const Class& cls) {
  if (!cls.isSubclassOf(MFModel::staticClass())) return nullptr;
  auto& cache = cacheFor(cls);
  if (auto prototype = cache.prototype.get()) return prototype.get();
  // Made outside any lock: a constructor may itself ask class-level questions.
  auto made = std::dynamic_pointer_cast<const MFModel>(cls.makeInstance());
  if (!made) return nullptr;
  return cache.prototype.keepFirst(std::move(made)).get();
}

void MFModel::enumerateProperties(const Class& cls, const std::function<void(const Property&, bool& stop)>& block) {
  bool stop = false;
  for (const Class* current = &cls; current && current != &MFModel::staticClass();) {
    auto properties = current->ownProperties();
    current = current->superclass();
    for (const Property* property : properties) {
      block(*property, stop);
      if (stop) return;
    }
  }
}

std::vector<std::string> MFModel::propertyKeys() const {
  auto& cache = cacheFor(objectClass());
  if (auto keys = cache.propertyKeys.get()) return *keys;
  auto keys = std::make_shared<std::vector<std::string>>();
  enumerateProperties(objectClass(), [&](const Property& property, bool&) {
    if (std::find(keys->begin(), keys->end(), property.name()) != keys->end()) return;
    if (storageBehaviorForPropertyWithKey(property.name()) != MFPropertyStorageNone) keys->push_back(property.name());
  });
  return *cache.propertyKeys.keepFirst(std::move(keys));
}

MFPropertyStorage MFModel::storageBehaviorForPropertyWithKey(std::string_view key) const {
  const Property* property = objectClass().property(key);
  if (!property) return MFPropertyStorageNone;
  auto attributes = mf_parsePropertyAttributes(*property);
  if (!attributes) return MFPropertyStorageNone;
  // Declared properties always have a getter; a setter is the property's own or a method by name.
  bool hasGetter = true;
  bool hasSetter = property->hasSetter() || objectClass().instancesRespondToSelector(attributes->setter);
  if (!attributes->dynamic && !attributes->ivar && !hasGetter && !hasSetter) return MFPropertyStorageNone;
  if (attributes->readonly && !attributes->ivar) {
    if (&objectClass() == &MFModel::staticClass()) return MFPropertyStorageNone;
    const Class* super = objectClass().superclass();
    const MFModel* superModel = super ? forClass(*super) : nullptr;
    return superModel ? superModel->storageBehaviorForPropertyWithKey(key) : MFPropertyStorageNone;
  }
  return MFPropertyStoragePermanent;
}

namespace {
std::shared_ptr<const mf_detail::StorageSets> storageSets(const MFModel& model) {
  auto& cache = cacheFor(model.objectClass());
  if (auto sets = cache.storage.get()) return sets;
  auto sets = std::make_shared<mf_detail::StorageSets>();
  for (const std::string& key : model.propertyKeys()) {
    switch (model.storageBehaviorForPropertyWithKey(key)) {
      case MFPropertyStorageTransitory:
        sets->transitory.push_back(key);
        sets->valueKeys.push_back(key);
        break;
      case MFPropertyStoragePermanent:
        sets->permanent.push_back(key);
        sets->valueKeys.push_back(key);
        break;
      default:
        break;
    }
  }
  return cache.storage.keepFirst(std::move(sets));
}
}  // namespace

std::vector<std::string> MFModel::transitoryPropertyKeys() const { return storageSets(*this)->transitory; }
std::vector<std::string> MFModel::permanentPropertyKeys() const { return storageSets(*this)->permanent; }

// --- Instances -----------------------------------------------------------------------------------

std::shared_ptr<MFModel> MFModel::modelWithDictionary(const Class& cls, const ValueDictionary& dictionary,
                                                      ErrorPtr* error) {
  auto model = std::dynamic_pointer_cast<MFModel>(cls.makeInstance());
  if (!model) return nullptr;
  if (!model->initWithDictionary(dictionary, error)) return nullptr;
  return model;
}

bool MFModel::initWithDictionary(const ValueDictionary& dictionary, ErrorPtr* error) {
  for (const auto& [key, value] : dictionary) {
    if (!mf_validateAndSet(*this, key, value.isNull() ? Value() : value, true, error)) return false;
  }
  return true;
}

ValueDictionary MFModel::dictionaryValue() const { return dictionaryWithValuesForKeys(storageSets(*this)->valueKeys); }

void MFModel::mergeValueForKey(std::string_view key, const std::shared_ptr<MFModel>& model) {
  auto selector = mf_selectorWithCapitalizedKey("merge", key, "FromModel:");
  if (selector && respondsToSelector(*selector)) {
    perform(*selector, {model ? Value(model) : Value()});
    return;
  }
  if (!model) return;
  setValueForKey(model->valueForKey(key), key);
}

void MFModel::mergeValuesForKeysFromModel(const std::shared_ptr<MFModel>& model) {
  if (!model) return;
  const std::vector<std::string> theirs = model->propertyKeys();
  for (const std::string& key : propertyKeys()) {
    if (std::find(theirs.begin(), theirs.end(), key) != theirs.end()) mergeValueForKey(key, model);
  }
}

bool MFModel::validate(ErrorPtr* error) {
  for (const std::string& key : propertyKeys()) {
    if (!mf_validateAndSet(*this, key, valueForKey(key), false, error)) return false;
  }
  return true;
}

bool MFModel::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  if (&other.objectClass() != &objectClass()) return false;
  for (const std::string& key : storageSets(*this)->permanent) {
    Value mine = valueForKey(key);
    Value theirs = other.valueForKey(key);
    if (mine.isNil() && theirs.isNil()) continue;
    if (mine.isNil() || !(mine == theirs)) return false;
  }
  return true;
}

std::size_t MFModel::hash() const {
  std::size_t value = 0;
  for (const std::string& key : storageSets(*this)->permanent) {
    Value v = valueForKey(key);
    if (!v.isNil()) value ^= v.hash();
  }
  return value;
}

std::string MFModel::description() const {
  Value values(dictionaryWithValuesForKeys(storageSets(*this)->permanent));
  return platform::format("<%@: %p> %@", objectClass().name(), static_cast<const void*>(this), values);
}

platform::ObjectPtr MFModel::copy() const {
  auto copy = std::dynamic_pointer_cast<MFModel>(objectClass().makeInstance());
  if (!copy) {
    platform::Exception::raise(platform::kInvalidArgumentException,
                               objectClass().name() + " cannot be copied: it cannot be made with no arguments");
  }
  copy->setValuesForKeysWithDictionary(dictionaryValue());
  return copy;
}

// --- Collection helpers --------------------------------------------------------------------------

Value mf_firstObject(const ValueArray& array) { return array.empty() ? Value() : array.front(); }

ValueArray mf_arrayByRemovingObject(const ValueArray& array, const Value& object) {
  ValueArray result;
  for (const Value& v : array)
    if (!(v == object)) result.push_back(v);
  return result;
}

ValueArray mf_arrayByRemovingFirstObject(const ValueArray& array) {
  if (array.empty()) return array;
  return ValueArray(array.begin() + 1, array.end());
}

ValueArray mf_arrayByRemovingLastObject(const ValueArray& array) {
  if (array.empty()) return array;
  return ValueArray(array.begin(), array.end() - 1);
}

ValueDictionary mf_dictionaryByAddingEntriesFromDictionary(const ValueDictionary& dictionary,
                                                           const ValueDictionary& entries) {
  ValueDictionary result = dictionary;
  for (const auto& [key, value] : entries) result.set(key, value);
  return result;
}

ValueDictionary mf_dictionaryByRemovingValuesForKeys(const ValueDictionary& dictionary,
                                                     const std::vector<std::string>& keys) {
  ValueDictionary result = dictionary;
  for (const std::string& key : keys) result.remove(key);
  return result;
}

ValueDictionary mf_dictionaryByRemovingEntriesWithKeys(const ValueDictionary& dictionary,
                                                       const platform::ValueSet& keys) {
  ValueDictionary result = dictionary;
  for (const Value& key : keys)
    if (key.isString()) result.remove(key.asString());
  return result;
}

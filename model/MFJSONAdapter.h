#pragma once

// MFJSONAdapter: converts between JSON dictionaries (already-parsed Values: dictionaries, arrays,
// strings, numbers, the null marker) and models whose class adopts MFJSONSerializing. Each
// property key maps to one JSON key path ("a.b.c") or to an array of key paths; each value passes
// through one transformer per property, chosen in this order:
//   1. the model class's class method "<key>JSONTransformer" (methods by name; its answer ends
//      the lookup even when nil);
//   2. MFJSONSerializing::JSONTransformerForKey;
//   3. by the declared type: the adapter class's class method "<ClassName>JSONTransformer"
//      (MFJSONAdapter has NSURLJSONTransformer and NSUUIDJSONTransformer), then a dictionary
//      transformer for a class adopting MFJSONSerializing, then a type check; for scalar types
//      the boolean transformer for "c" and "B", else a type check.
//
// Threads: an adapter may be shared; its mapping and transformers are fixed after
// initialisation and its cache of adapters for other classes is guarded by its monitor.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/MFModel.h"
#include "model/MFValueTransformer.h"

inline constexpr std::string_view MFJSONAdapterErrorDomain = "MFJSONAdapterErrorDomain";
inline constexpr std::int64_t MFJSONAdapterErrorExceptionThrown = 1;
inline constexpr std::int64_t MFJSONAdapterErrorNoClassFound = 2;
inline constexpr std::int64_t MFJSONAdapterErrorInvalidJSONDictionary = 3;
inline constexpr std::string_view MFJSONAdapterThrownExceptionErrorKey = "MFJSONAdapterThrownException";

// Adopted by model classes that map to JSON (next to MFModel: class Person : public MFModel,
// public MFJSONSerializing). Answered by the class's prototype, like MFModel's class-level answers.
class MFJSONSerializing {
 public:
  virtual ~MFJSONSerializing() = default;
  // Property key to a key-path string or an array of key-path strings. Keys not listed take no
  // part in JSON.
  virtual platform::ValueDictionary JSONKeyPathsByPropertyKey() const = 0;
  // Optional: the class to build for a JSON dictionary (nullptr: none fits). nullopt means the
  // class does not choose.
  virtual std::optional<const platform::Class*> classForParsingJSONDictionary(
      const platform::Value& JSONDictionary) const {
    (void)JSONDictionary;
    return std::nullopt;
  }
  // Optional: a transformer for a property key, or nullptr.
  virtual MFValueTransformerPtr JSONTransformerForKey(std::string_view key) const {
    (void)key;
    return nullptr;
  }
};

using MFValueTransformersByKey = std::map<std::string, MFValueTransformerPtr, std::less<>>;

class MFJSONAdapter : public platform::Object {
  ZORVEL_CLASS(MFJSONAdapter, platform::Object)

 public:
  // --- One-shot conversions (a new adapter each) ---
  // nullptr and *error on failure; nullptr without an error when the class's mapping is invalid.
  static std::shared_ptr<MFModel> modelOfClass(const platform::Class& modelClass, const platform::Value& JSONDictionary,
                                               platform::ErrorPtr* error = nullptr);
  template <class T>
  static std::shared_ptr<T> modelOfClass(const platform::Value& JSONDictionary, platform::ErrorPtr* error = nullptr) {
    return std::dynamic_pointer_cast<T>(modelOfClass(T::staticClass(), JSONDictionary, error));
  }
  // An array of models, or nil.
  static platform::Value modelsOfClass(const platform::Class& modelClass, const platform::Value& JSONArray,
                                       platform::ErrorPtr* error = nullptr);
  // A JSON dictionary, or nil.
  static platform::Value JSONDictionaryFromModel(const MFModel& model, platform::ErrorPtr* error = nullptr);
  // An array of JSON dictionaries, or nil.
  static platform::Value JSONArrayFromModels(const platform::Value& models, platform::ErrorPtr* error = nullptr);

  // --- Transformers ---
  static MFValueTransformersByKey valueTransformersForModelClass(const platform::Class& modelClass,
                                                                 const platform::Class& adapterClass = staticClass());
  // The adapter class's class method "<ClassName>JSONTransformer", if it has one.
  static MFValueTransformerPtr transformerForModelPropertiesOfClass(
      const platform::Class& cls, const platform::Class& adapterClass = staticClass());
  // The boolean transformer for "c" (and "B", a C++ bool), else nullptr.
  static MFValueTransformerPtr transformerForModelPropertiesOfObjCType(std::string_view typeEncoding);
  static MFValueTransformerPtr NSURLJSONTransformer();
  static MFValueTransformerPtr NSUUIDJSONTransformer();
  // Between a JSON dictionary and a model of the class (one adapter shared by both directions).
  static std::shared_ptr<MFReversibleValueTransformer> dictionaryTransformerWithModelClass(
      const platform::Class& modelClass, const platform::Class& adapterClass = staticClass());
  // Between an array of JSON dictionaries and an array of models.
  static std::shared_ptr<MFReversibleValueTransformer> arrayTransformerWithModelClass(
      const platform::Class& modelClass, const platform::Class& adapterClass = staticClass());

  // --- Adapters ---
  // An adapter of `adapterClass` (MFJSONAdapter or a subclass) for the model class; nullptr when
  // the class's mapping names a key that is not a property or a path that is not a string.
  static std::shared_ptr<MFJSONAdapter> adapterWithModelClass(const platform::Class& modelClass,
                                                              const platform::Class& adapterClass = staticClass());
  // Sets up a fresh adapter; false when the mapping is invalid.
  bool initWithModelClass(const platform::Class& modelClass);

  const platform::Class* modelClass() const { return modelClass_; }
  const platform::ValueDictionary& JSONKeyPathsByPropertyKey() const { return keyPaths_; }
  const MFValueTransformersByKey& valueTransformersByPropertyKey() const { return transformers_; }

  std::shared_ptr<MFModel> modelFromJSONDictionary(const platform::Value& JSONDictionary,
                                                   platform::ErrorPtr* error = nullptr) const;
  // The instance form of JSONDictionaryFromModel (a model of another class goes to the cached
  // adapter for its class).
  platform::Value JSONDictionaryFrom(const MFModel& model, platform::ErrorPtr* error = nullptr) const;
  // The cached or a new adapter (of this adapter's class) for another model class.
  std::shared_ptr<MFJSONAdapter> JSONAdapterForModelClass(const platform::Class& modelClass,
                                                          platform::ErrorPtr* error = nullptr) const;
  // The keys to write for a model; a subclass may narrow them. Base: unchanged.
  virtual std::vector<std::string> serializablePropertyKeys(const std::vector<std::string>& keys,
                                                            const MFModel& model) const;

 protected:
  MFJSONAdapter() = default;

 private:
  const platform::Class* modelClass_ = nullptr;
  platform::ValueDictionary keyPaths_;
  MFValueTransformersByKey transformers_;
  mutable std::map<const platform::Class*, std::shared_ptr<MFJSONAdapter>> adapters_;  // under monitor()
};

// The value at a dotted key path of a JSON dictionary: nil when absent, the null marker when a
// null is met on the way. A component that meets something other than a dictionary fails with
// MFJSONAdapterErrorDomain code 3 (*success false).
platform::Value mf_valueForJSONKeyPath(const platform::Value& dictionary, std::string_view keyPath, bool* success,
                                       platform::ErrorPtr* error = nullptr);
// Each property key of the model class mapped to itself.
platform::ValueDictionary mf_identityPropertyMapWithModel(const platform::Class& modelClass);

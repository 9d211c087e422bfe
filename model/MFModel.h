#pragma once

// MFModel: base of every model object. A subclass only declares properties (ZORVEL_PROPERTY and
// friends); the base finds them at run time and builds on that set of property keys:
// initialisation from a dictionary with key-value validation, the dictionary of current values,
// merging, whole-object validation, equality, hash, copy, description, and the keyed archive with
// a model version (MFModelArchive.cpp).
//
//   class Person : public MFModel {
//     ZORVEL_CLASS(Person, MFModel)
//    public:
//     ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
//     std::uint64_t modelVersion() const override { return 2; }
//   };
//
// Class-level answers (property keys, storage and encoding behaviours, model version...) are
// virtual functions answered by the class's prototype instance (MFModel::forClass), so a subclass
// overrides them like any virtual function and calls the inherited answer as Base::fn(); inside
// them objectClass() is the class being asked about. Model classes must be default-constructible.
//
// Hooks found by name (methods by name, methods.h):
//   instance method "merge<Key>FromModel:"  (one argument: the other model, or nil)
//   instance method "decode<Key>WithCoder:modelVersion:"  (an MFCoderReference and the archived
//     version; returns the value)
// and per-key validators (ZORVEL_VALIDATOR), reached through validateValueForKey.
//
// Threads: class-level answers and their per-class caches may be used from any thread. A model
// instance has no lock: build it on one thread, then share it read-only.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/error.h"
#include "platform/runtime/kvc.h"
#include "platform/runtime/methods.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

inline constexpr std::string_view MFModelErrorDomain = "MFModelErrorDomain";
inline constexpr std::int64_t MFModelErrorExceptionThrown = 1;
// User-info key of a model error made from an exception: the MFThrownException.
inline constexpr std::string_view MFModelThrownExceptionErrorKey = "MFModelThrownException";
inline constexpr std::string_view MFModelVersionKey = "MFModelVersion";

// How a property takes part in a model.
enum MFPropertyStorage : std::uint64_t {
  MFPropertyStorageNone = 0,        // not a model property
  MFPropertyStorageTransitory = 1,  // part of the values, not of the identity
  MFPropertyStoragePermanent = 2,   // part of the values and of the identity
};

// How a property is archived. Any other number counts as excluded.
enum MFModelEncodingBehavior : std::uint64_t {
  MFModelEncodingBehaviorExcluded = 0,
  MFModelEncodingBehaviorUnconditional = 1,
  MFModelEncodingBehaviorConditional = 2,  // kept only when the archive holds the object elsewhere
};

using MFEncodingBehaviors = std::map<std::string, std::uint64_t, std::less<>>;
using MFAllowedClassesByKey = std::map<std::string, platform::AllowedClasses, std::less<>>;

enum class MFPropertyMemoryPolicy : std::uint32_t { Assign = 0, Retain = 1, Copy = 2 };

// The parsed form of a declared property's attribute string.
struct MFPropertyAttributes {
  bool readonly = false;
  bool nonatomic = false;
  bool weak = false;
  bool canBeCollected = false;
  bool dynamic = false;
  MFPropertyMemoryPolicy memoryManagementPolicy = MFPropertyMemoryPolicy::Assign;
  std::string getter;
  std::string setter;
  std::optional<std::string> ivar;               // absent: no instance variable
  const platform::Class* objectClass = nullptr;  // for @"Name" types of registered classes
  std::string type;                              // the type encoding
};

// Parses an attribute string ("T@\"NSString\",C,N,V_name"). Problems are written to standard
// error, naming the attribute string and the property; nullopt for the fatal ones.
std::optional<MFPropertyAttributes> mf_parsePropertyAttributes(std::string_view attributes,
                                                               std::string_view propertyName);
std::optional<MFPropertyAttributes> mf_parsePropertyAttributes(const platform::Property& property);

// key + suffix; nullopt when the key is not valid UTF-8.
std::optional<std::string> mf_selectorWithKeySuffix(std::string_view key, std::string_view suffix);
// prefix + key with its first character upper-cased + suffix; nullopt as above.
std::optional<std::string> mf_selectorWithCapitalizedKey(std::string_view prefix, std::string_view key,
                                                         std::string_view suffix);

// An exception carried as an object (in error user info).
class MFThrownException : public platform::Object {
  ZORVEL_CLASS(MFThrownException, platform::Object)

 public:
  explicit MFThrownException(platform::Exception exception) : exception_(std::move(exception)) {}
  const platform::Exception& exception() const { return exception_; }
  std::string description() const override { return exception_.description(); }

 private:
  platform::Exception exception_;
};

// "MFModelErrorDomain", code 1: description and failure reason from the exception, which is kept
// under MFModelThrownExceptionErrorKey.
platform::ErrorPtr mf_modelErrorWithException(const platform::Exception& exception);

// Validates `value` for `key` on `object` and sets it when forced or when validation replaced it.
// An exception while doing so is logged and turned into mf_modelErrorWithException.
bool mf_validateAndSet(platform::Object& object, std::string_view key, const platform::Value& value, bool forceUpdate,
                       platform::ErrorPtr* error);

// The coder handed to "decode<Key>WithCoder:modelVersion:" hooks; valid only during the call.
class MFCoderReference : public platform::Object {
  ZORVEL_CLASS(MFCoderReference, platform::Object)

 public:
  explicit MFCoderReference(platform::KeyedUnarchiver* coder) : coder_(coder) {}
  platform::KeyedUnarchiver& coder() const { return *coder_; }

 private:
  MFCoderReference() = default;
  platform::KeyedUnarchiver* coder_ = nullptr;
};

class MFModel : public platform::Object {
  ZORVEL_CLASS(MFModel, platform::Object)

 public:
  MFModel() = default;

  // The prototype instance that answers the class-level questions of `cls`; nullptr when `cls`
  // is not a model class that can be made with no arguments.
  static const MFModel* forClass(const platform::Class& cls);

  // A new instance of `cls` set from the dictionary; nullptr (and *error) on failure.
  static std::shared_ptr<MFModel> modelWithDictionary(const platform::Class& cls,
                                                      const platform::ValueDictionary& dictionary,
                                                      platform::ErrorPtr* error = nullptr);
  template <class T>
  static std::shared_ptr<T> modelWithDictionary(const platform::ValueDictionary& dictionary,
                                                platform::ErrorPtr* error = nullptr) {
    return std::dynamic_pointer_cast<T>(modelWithDictionary(T::staticClass(), dictionary, error));
  }

  // Calls `block` for each declared property from `cls` up to (not including) MFModel,
  // subclasses first, each class's in declaration order, until it sets `stop`.
  static void enumerateProperties(const platform::Class& cls,
                                  const std::function<void(const platform::Property&, bool& stop)>& block);

  // --- Class-level answers ---------------------------------------------------------------------
  // Names of the declared properties whose storage is not none (cached per class).
  virtual std::vector<std::string> propertyKeys() const;
  virtual MFPropertyStorage storageBehaviorForPropertyWithKey(std::string_view key) const;
  // Keys of storage 1 and 2, from propertyKeys() (cached per class).
  std::vector<std::string> transitoryPropertyKeys() const;
  std::vector<std::string> permanentPropertyKeys() const;

  // Archive: the version written under "MFModelVersion" (base 0).
  virtual std::uint64_t modelVersion() const { return 0; }
  // Every property key: 2 for weak properties, 1 for the others.
  virtual MFEncodingBehaviors encodingBehaviorsByPropertyKey() const;
  // What each archived key may decode to under secure coding (cached per class in the base).
  virtual MFAllowedClassesByKey allowedSecureCodingClassesByPropertyKey() const;
  // False in the base: a class takes part in secure coding only by answering true. A coder that
  // requires secure coding refuses the others (encoding raises NSInvalidArgumentException,
  // decoding fails the unarchiver).
  virtual bool supportsSecureCoding() const { return false; }
  // Converts the "externalRepresentation" of an old-format archive; base: nullopt (refused).
  virtual std::optional<platform::ValueDictionary> dictionaryValueFromArchivedExternalRepresentation(
      const platform::Value& externalRepresentation, std::uint64_t version) const;

  // --- Instances -------------------------------------------------------------------------------
  // Validates and sets every entry (the null marker as nil), in the dictionary's order; keys that
  // are not properties fail like any other key. False (and *error) at the first failure.
  virtual bool initWithDictionary(const platform::ValueDictionary& dictionary, platform::ErrorPtr* error = nullptr);
  // Every transitory and permanent key to its value (nil as the null marker).
  platform::ValueDictionary dictionaryValue() const;
  // "merge<Key>FromModel:" when the model responds to it (called even with a nil model); else,
  // with a model, takes its value for the key.
  void mergeValueForKey(std::string_view key, const std::shared_ptr<MFModel>& model);
  // mergeValueForKey for each property key the other model's class has too.
  void mergeValuesForKeysFromModel(const std::shared_ptr<MFModel>& model);
  // Validates every property's current value, setting those that validation replaces.
  bool validate(platform::ErrorPtr* error = nullptr);

  // Same class exactly and equal permanent values (nil equals nil).
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  // "<Class: 0x...> {permanent values}"
  std::string description() const override;
  // A new instance of the same class set from dictionaryValue(), without validation.
  platform::ObjectPtr copy() const override;

  // --- Keyed archive (MFModelArchive.cpp) ------------------------------------------------------
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;
  // The value for one key from the archive (nil: left out): the per-key decode hook when the
  // model has one, else the coder's value (restricted under secure coding).
  virtual platform::Value decodeValueForKey(std::string_view key, platform::KeyedUnarchiver& coder,
                                            std::uint64_t modelVersion);
};

// Raises NSInvalidArgumentException when an archived key of the class has no allowed classes.
void mf_verifyAllowedSecureCodingClasses(const MFModel& modelClass);

// The class of boxed scalars ("NSValue"); numbers count as its instances.
const platform::Class& MFValueClass();

// Collection helpers; each returns a new collection.
platform::Value mf_firstObject(const platform::ValueArray& array);
platform::ValueArray mf_arrayByRemovingObject(const platform::ValueArray& array, const platform::Value& object);
platform::ValueArray mf_arrayByRemovingFirstObject(const platform::ValueArray& array);
platform::ValueArray mf_arrayByRemovingLastObject(const platform::ValueArray& array);
platform::ValueDictionary mf_dictionaryByAddingEntriesFromDictionary(const platform::ValueDictionary& dictionary,
                                                                     const platform::ValueDictionary& entries);
platform::ValueDictionary mf_dictionaryByRemovingValuesForKeys(const platform::ValueDictionary& dictionary,
                                                               const std::vector<std::string>& keys);
// The same with the keys as a set (string elements; others name no key).
platform::ValueDictionary mf_dictionaryByRemovingEntriesWithKeys(const platform::ValueDictionary& dictionary,
                                                                 const platform::ValueSet& keys);

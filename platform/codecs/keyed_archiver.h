#pragma once

// Keyed archiving: turns a Value (objects that encode themselves included) into bytes and back.
// This is the byte form in which the store keeps objects, so the layout below is a stored format:
// change it only by raising the version and keeping a reader for the old one.
//
// Container: a standard binary property list ("bplist00"; our own writer and reader, readable by
// libplist and other property-list tools). Layout, version 1:
//
//   top dictionary   {"$v": 1, "$objects": [entry, ...], <top-level keys>...}
//                    archivedData() puts the root value under the top-level key "$top".
//   object entry     {"$c": "<class name>", <the object's coder keys>...}
//   object reference UID n: $objects[n - 1]; UID 0 is nil (a nil value, or a conditional
//                    reference to an object that nothing encoded unconditionally).
//   coder keys       strings; a key that begins with '$' is stored with one more '$' in front,
//                    so "$"-keys of the layout never clash with a caller's keys.
//   plain values     inline, in the property list's own types:
//                      bool -> boolean; Int -> integer (1, 2, 4 or 8 bytes);
//                      UInt -> 16-byte integer (so the kind survives); Double -> 8-byte real;
//                      String -> ASCII or UTF-16 string (invalid UTF-8 is written as U+FFFD);
//                      Data -> data; Date -> date; Array -> array;
//                      Dictionary -> dictionary, except that a dictionary of exactly one entry
//                        whose key begins with '$' is wrapped as {"$dict": <it>};
//                      null marker -> {"$null": true}; Set -> {"$set": [elements]};
//                      Object -> UID.
//   Scalars with identical bytes (keys, class names, repeated strings) are stored once.
//
// Limits, the same for writing and reading: values and objects nest at most kMaxArchiveNesting
// deep along any chain of references (a reference back to an object still being encoded or
// decoded closes a cycle and does not count; the tag dictionaries above count as a level).
//
// Reading never trusts the bytes: every count, offset, reference and type is checked, nesting is
// bounded, each stored container is built once however often it is referenced, and a damaged or
// hostile archive fails with an Error (kCocoaErrorDomain, kCoderReadCorruptError) instead of
// crashing, looping or allocating without bound.
//
// Threads: an archiver or unarchiver belongs to the thread using it; the static helpers may be
// called from any thread at once. Objects are encoded and decoded on the calling thread.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// Codes of kCocoaErrorDomain reported by the unarchiver.
inline constexpr std::int64_t kCoderReadCorruptError = 4864;
inline constexpr std::int64_t kCoderValueNotFoundError = 4865;

inline constexpr int kMaxArchiveNesting = 512;

// What a restricted decode accepts: objects whose class is one of `classes` or a subclass of one,
// and plain values of the listed kinds. A collection is accepted when its kind is listed and every
// element is accepted. Nil is always accepted.
class AllowedClasses {
 public:
  AllowedClasses() = default;  // nothing but nil
  AllowedClasses(std::initializer_list<const Class*> classes, std::initializer_list<Value::Type> kinds = {});

  // Every plain kind, no object class.
  static AllowedClasses plainValues();

  AllowedClasses& addClass(const Class& cls);
  AllowedClasses& addKind(Value::Type kind);
  AllowedClasses& addNumbers();  // Bool, Int, UInt and Double: what the platform calls a number

  bool allowsClass(const Class& cls) const;
  bool allowsKind(Value::Type kind) const { return (kinds_ >> static_cast<unsigned>(kind)) & 1u; }

 private:
  std::vector<const Class*> classes_;
  std::uint32_t kinds_ = 1u << static_cast<unsigned>(Value::Type::Nil);
};

// Writes one archive. Keys given while an object's encodeWithCoder runs belong to that object;
// keys given outside any encodeWithCoder belong to the archive's top level.
//
// Encoding an object that does not support coding raises kInvalidArgumentException; so does
// nesting deeper than kMaxArchiveNesting. After an exception escapes, the archiver is unusable
// (further calls raise kInvalidArchiveOperationException), as is one whose data was taken.
class KeyedArchiver {
 public:
  // requiresSecureCoding is carried for the objects being encoded to consult; the archiver itself
  // writes the same bytes either way.
  explicit KeyedArchiver(bool requiresSecureCoding = false);
  ~KeyedArchiver();
  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;

  bool requiresSecureCoding() const { return requiresSecureCoding_; }

  // Any value kind. Objects inside it are encoded unconditionally; one object encoded several
  // times (under any keys, inside any collections) is stored once. A nil value is stored as nil,
  // so containsValue() answers true for its key. Encoding a key twice in one object keeps the last.
  void encodeValue(const Value& value, std::string_view key);
  void encodeObject(const ObjectPtr& object, std::string_view key);
  // Stores a reference that reads back as the object only when some other part of this archive
  // (before or after) encodes the same object unconditionally; otherwise it reads back as nil.
  void encodeConditionalObject(const ObjectPtr& object, std::string_view key);
  void encodeBool(bool value, std::string_view key);
  void encodeInt64(std::int64_t value, std::string_view key);
  void encodeDouble(double value, std::string_view key);
  void encodeString(std::string_view value, std::string_view key);
  void encodeData(std::span<const std::uint8_t> value, std::string_view key);

  // Finishes the archive and returns its bytes; the archiver cannot be used afterwards.
  Bytes encodedData();

  // The archive of `root` under the top-level key "$top"; raises as encodeValue does.
  static Bytes archivedData(const Value& root, bool requiresSecureCoding = false);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  bool requiresSecureCoding_;
};

// Reads one archive. Keys asked for while an object's initWithCoder runs are looked up in that
// object's entry; outside any initWithCoder, at the archive's top level. The bytes are not copied:
// they must outlive the unarchiver.
//
// Failure policy: a damaged archive, a class name that is not registered, cannot be instantiated
// or does not support coding, or a value refused by a restricted decode records an Error (see
// failWithError);
// from then on every decode returns nil / 0 / false and containsValue() false. Decoding never
// throws for bad input; exceptions raised by the objects' own initWithCoder pass through.
//
// Objects: each stored object is decoded once; every reference to it gives the same instance.
// The instance is registered before its initWithCoder runs, so a reference back to an object
// whose decoding is still under way (a cycle) gets that same, partly initialised instance. When
// initWithCoder returns false the object reads as nil from then on (references already handed to
// a cycle keep the partly initialised instance); that alone is not an error, but a collection
// holding such an object fails with kCoderReadCorruptError, as a collection cannot hold nil.
//
// Secure coding: when requiresSecureCoding is set, decodeValue() and decodeObject() refuse
// objects (they accept plain values only); use decodeObjectOfClass(es) to name what is allowed.
// In every mode the class of an object is checked before the object is made.
class KeyedUnarchiver {
 public:
  // Reads the container; a damaged one records the error at once.
  explicit KeyedUnarchiver(std::span<const std::uint8_t> data, bool requiresSecureCoding = false);
  ~KeyedUnarchiver();
  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

  bool requiresSecureCoding() const { return requiresSecureCoding_; }

  bool containsValue(std::string_view key);
  // nil when absent.
  Value decodeValue(std::string_view key);
  // The object under the key; nullptr when absent, nil, or a plain value.
  ObjectPtr decodeObject(std::string_view key);
  // As decodeValue, but anything outside `allowed` fails the decode with an Error.
  Value decodeObjectOfClasses(const AllowedClasses& allowed, std::string_view key);
  ObjectPtr decodeObjectOfClass(const Class& cls, std::string_view key);
  // Absent gives 0 / false / empty; any number kind converts; another kind fails the decode.
  bool decodeBool(std::string_view key);
  std::int64_t decodeInt64(std::string_view key);
  double decodeDouble(std::string_view key);
  std::string decodeString(std::string_view key);
  Bytes decodeData(std::string_view key);

  // Records `error` unless one is recorded already (the first one wins); decoding stops.
  void failWithError(ErrorPtr error);
  const ErrorPtr& error() const { return error_; }

  // The root value of an archive made by archivedData(); nil (with *error set unless the root
  // itself was stored as nil or its initWithCoder declined) on failure.
  static Value unarchivedObject(std::span<const std::uint8_t> data, ErrorPtr* error = nullptr);
  // The same under secure coding, with the root restricted to `allowed`.
  static Value unarchivedObjectOfClasses(const AllowedClasses& allowed, std::span<const std::uint8_t> data,
                                         ErrorPtr* error = nullptr);

  struct Impl;

 private:
  static Value unarchiveRoot(std::span<const std::uint8_t> data, const AllowedClasses* allowed, ErrorPtr* error);

  std::unique_ptr<Impl> impl_;
  ErrorPtr error_;
  bool requiresSecureCoding_;
};

}  // namespace platform

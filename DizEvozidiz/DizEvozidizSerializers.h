#pragma once

// The closures that turn stored objects and metadata into bytes and back, and that let the
// application adjust an object before it is stored (pre-sanitizer) and act on it after the write
// (post-sanitizer). Collection is "" for the default collection.
//
// The closures are called on the connection queues that run transactions, possibly several at
// once: they must be safe to call from any thread.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/runtime/value.h"
#include "platform/system/date.h"

using DizEvozidizSerializer = std::function<platform::Bytes(const std::string& collection, const std::string& key,
                                                            const platform::Value& object)>;
// The bytes may wrap SQLite's column memory: valid only during the call. Empty bytes stand for none.
using DizEvozidizDeserializer = std::function<platform::Value(const std::string& collection, const std::string& key,
                                                              std::span<const std::uint8_t> bytes)>;
// Returns the value to store and cache in place of the given one.
using DizEvozidizPreSanitizer = std::function<platform::Value(const std::string& collection, const std::string& key,
                                                              const platform::Value& object)>;
// Called after the value was written.
using DizEvozidizPostSanitizer =
    std::function<void(const std::string& collection, const std::string& key, const platform::Value& object)>;

// What a database is created with. Empty serializers and deserializers take the defaults
// (keyed archiving); sanitizers may stay empty.
struct DizEvozidizClosures {
  DizEvozidizSerializer objectSerializer;
  DizEvozidizDeserializer objectDeserializer;
  DizEvozidizSerializer metadataSerializer;
  DizEvozidizDeserializer metadataDeserializer;
  DizEvozidizPreSanitizer objectPreSanitizer;
  DizEvozidizPostSanitizer objectPostSanitizer;
  DizEvozidizPreSanitizer metadataPreSanitizer;
  DizEvozidizPostSanitizer metadataPostSanitizer;
};

// The ready-made pairs; each call returns the same shared closure.
struct DizEvozidizSerializers {
  // Keyed archive of the value (root object).
  static const DizEvozidizSerializer& defaultSerializer();
  // Nil for empty bytes; otherwise the archive's root value (nil when it cannot be read).
  static const DizEvozidizDeserializer& defaultDeserializer();
  // The value as a binary property list; empty bytes when it cannot be one (nulls, sets, objects).
  static const DizEvozidizSerializer& propertyListSerializer();
  // The property list read from the bytes; nil for empty or unreadable bytes.
  static const DizEvozidizDeserializer& propertyListDeserializer();
  // A date as exactly 8 bytes: its seconds since 2001-01-01 00:00:00 UTC as a host-order double;
  // any other value as a keyed archive.
  static const DizEvozidizSerializer& timestampSerializer();
  // 8 bytes: a date; any other length: as defaultDeserializer.
  static const DizEvozidizDeserializer& timestampDeserializer();
};

// Date comparisons of the store's own.
inline bool DizDateIsBefore(platform::Date self, platform::Date other) { return self < other; }
inline bool DizDateIsAfter(platform::Date self, platform::Date other) { return self > other; }
inline bool DizDateIsBeforeOrEqual(platform::Date self, platform::Date other) { return self <= other; }
inline bool DizDateIsAfterOrEqual(platform::Date self, platform::Date other) { return self >= other; }

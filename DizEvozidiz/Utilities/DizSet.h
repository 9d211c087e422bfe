#pragma once

// DizSet: a read-only set facade over either a set value or a dictionary value (whose members are
// then the dictionary's keys), so code can test membership without copying keys into a set.
// Immutable after creation; may be shared between threads.

#include <cstddef>
#include <functional>

#include "platform/value.h"

class DizSet {
 public:
  static DizSet withSet(platform::ValueSet set);
  static DizSet withDictionary(platform::ValueDictionary dictionary);

  std::size_t count() const;
  // Over a dictionary: whether the value is a string key of it (never its values).
  bool containsObject(const platform::Value& object) const;
  // Whether any member of `other` is a member here.
  bool intersectsSet(const platform::ValueSet& other) const;
  // Members in the underlying order (dictionary: key order). Block: (const Value&, bool& stop).
  void enumerateObjectsUsingBlock(const std::function<void(const platform::Value&, bool&)>& block) const;

 private:
  DizSet() = default;
  platform::Value storage_;  // a set or a dictionary
};

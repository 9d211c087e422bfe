#pragma once

// DizSet: a read-only set facade over a set value, over the keys of a dictionary value, or over any
// container that implements DizSet::Members (the change records of a commit: the modified
// notification carries facades over them instead of copies). Code tests membership and enumerates
// without copying members into a set.
// Immutable after creation, like what it wraps; may be shared between threads.

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class DizSet final : public platform::Object {
  ZORVEL_CLASS(DizSet, platform::Object)

 public:
  // A container a facade reads its members from. It must not change while a facade over it exists.
  class Members {
   public:
    virtual ~Members() = default;
    virtual std::size_t memberCount() const = 0;
    virtual bool containsMember(const platform::Value& member) const = 0;
    // Block: (member, bool& stop).
    virtual void enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const = 0;
  };

  static std::shared_ptr<DizSet> withSet(platform::ValueSet set);
  static std::shared_ptr<DizSet> withDictionary(platform::ValueDictionary dictionary);
  static std::shared_ptr<DizSet> withMembers(std::shared_ptr<const Members> members);

  std::size_t count() const;
  // Over a dictionary: whether the value is a string key of it (never its values).
  bool containsObject(const platform::Value& object) const;
  // Whether any member of `other` is a member here.
  bool intersectsSet(const platform::ValueSet& other) const;
  // Members in the underlying order (dictionary: key order). Block: (const Value&, bool& stop).
  void enumerateObjectsUsingBlock(const std::function<void(const platform::Value&, bool&)>& block) const;

 private:
  DizSet() = default;
  platform::Value storage_;  // a set or a dictionary, unless members_ is set
  std::shared_ptr<const Members> members_;
};

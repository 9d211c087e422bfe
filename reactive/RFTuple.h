#pragma once

// RFTuple: an immutable, ordered list of values that, unlike an array value, can hold nil
// (stored as the shared RFTupleNil marker). Operators that combine values (zip and the like)
// send tuples. RFBlockTrampoline calls a block with a tuple's values as separate arguments;
// RFTupleUnpackingTrampoline assigns them to several variables at once. All are immutable and
// safe to share between threads.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class RFTuple;
class RFTupleNil;
using RFTuplePtr = std::shared_ptr<RFTuple>;

class RFTupleNil final : public platform::Object {
 public:
  static const std::shared_ptr<RFTupleNil>& tupleNil();
  // The marker as a value.
  static const platform::Value& tupleNilValue();
  static bool isTupleNil(const platform::Value& value);

  static const platform::Class& staticClass();
  const platform::Class& objectClass() const override;
  platform::ObjectPtr copy() const override;
  // Archives as nothing; unarchiving yields the shared marker.
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

 private:
  friend struct platform::detail::ObjectAccess;
  RFTupleNil() = default;
};

class RFTuple : public platform::Object {
  ZORVEL_CLASS(RFTuple, platform::Object)

 public:
  static RFTuplePtr tuple() { return platform::make<RFTuple>(); }
  // With convertNullsToNils, null markers are stored as nil.
  static RFTuplePtr tupleWithObjectsFromArray(const platform::ValueArray& array, bool convertNullsToNils = false);
  // The values before the first nil.
  static RFTuplePtr tupleWithObjects(std::initializer_list<platform::Value> values);
  // Every value as given, nil included.
  static RFTuplePtr tupleWithValues(std::vector<platform::Value> values);

  // Nil for an index out of range and for the marker.
  platform::Value objectAtIndex(std::size_t index) const;
  platform::Value operator[](std::size_t index) const { return objectAtIndex(index); }
  std::size_t count() const { return backing_.size(); }
  platform::Value first() const { return objectAtIndex(0); }
  platform::Value second() const { return objectAtIndex(1); }
  platform::Value third() const { return objectAtIndex(2); }
  platform::Value fourth() const { return objectAtIndex(3); }
  platform::Value fifth() const { return objectAtIndex(4); }
  platform::Value last() const { return backing_.empty() ? platform::Value() : objectAtIndex(backing_.size() - 1); }

  // The values with nil as the null marker.
  platform::ValueArray allObjects() const;
  // A new tuple with the value (nil allowed) appended.
  RFTuplePtr tupleByAddingObject(const platform::Value& value) const;

  // The stored values as they are, the nil marker included.
  const platform::ValueArray& backingArray() const { return backing_; }
  platform::ValueArray::const_iterator begin() const { return backing_.begin(); }
  platform::ValueArray::const_iterator end() const { return backing_.end(); }

  platform::ObjectPtr copy() const override;
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  std::string description() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

 protected:
  RFTuple() = default;
  explicit RFTuple(platform::ValueArray backing) : backing_(std::move(backing)) {}

 private:
  platform::ValueArray backing_;
};

// Assigns a tuple's values to variables: trampoline()->setObject(tuple, {&a, &b, &c}). A
// position past the tuple's end, or the nil marker, gives nil.
class RFTupleUnpackingTrampoline final {
 public:
  static RFTupleUnpackingTrampoline& trampoline();
  void setObject(const RFTuplePtr& tuple, std::initializer_list<platform::Value*> variables) const;
};

// Calls a block of 1 to 15 value arguments with a tuple's values. Missing values arrive as nil,
// surplus ones are ignored; a tuple of 0 or more than 15 values raises
// NSInvalidArgumentException.
class RFBlockTrampoline final {
 public:
  static constexpr std::size_t kMaxArguments = 15;

  template <class F>
  explicit RFBlockTrampoline(F block) : arity_(arityOf<F>), invoke_(makeInvoker(std::move(block))) {}

  template <class F>
  static platform::Value invokeBlock(F block, const RFTuplePtr& arguments) {
    return RFBlockTrampoline(std::move(block)).invokeWithArguments(arguments);
  }

  platform::Value invokeWithArguments(const RFTuplePtr& arguments) const;
  std::size_t arity() const { return arity_; }

 private:
  template <class T>
  struct FunctionArity;
  template <class R, class... A>
  struct FunctionArity<std::function<R(A...)>> {
    static_assert(sizeof...(A) >= 1 && sizeof...(A) <= kMaxArguments, "blocks take 1 to 15 values");
    static constexpr std::size_t value = sizeof...(A);
  };
  template <class F>
  static constexpr std::size_t arityOf = FunctionArity<decltype(std::function(std::declval<F>()))>::value;

  template <class F>
  static std::function<platform::Value(const platform::Value*)> makeInvoker(F block) {
    return [block = std::move(block)](const platform::Value* args) -> platform::Value {
      return [&]<std::size_t... I>(std::index_sequence<I...>)->platform::Value {
        if constexpr (std::is_void_v<decltype(block(args[I]...))>) {
          block(args[I]...);
          return {};
        } else {
          return platform::Value(block(args[I]...));
        }
      }
      (std::make_index_sequence<arityOf<F>>());
    };
  }

  std::size_t arity_;
  std::function<platform::Value(const platform::Value*)> invoke_;
};

// A block as an object, so that a value (a tuple's item, for reduceApply) can carry it. Calls the
// block as RFBlockTrampoline does. Immutable.
class RFBlock final : public platform::Object {
  ZORVEL_CLASS(RFBlock, platform::Object)

 public:
  template <class F>
  static std::shared_ptr<RFBlock> create(F block) {
    return platform::make<RFBlock>(RFBlockTrampoline(std::move(block)));
  }
  platform::Value invokeWithArguments(const RFTuplePtr& arguments) const {
    return trampoline_.invokeWithArguments(arguments);
  }

 private:
  explicit RFBlock(RFBlockTrampoline trampoline) : trampoline_(std::move(trampoline)) {}
  RFBlockTrampoline trampoline_;
};

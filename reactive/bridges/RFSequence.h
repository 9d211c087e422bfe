#pragma once

// Sequences: the pulled kind of stream. A sequence is an immutable, possibly infinite list made
// of a head (its first value) and a tail (the sequence of the values after it), both computed on
// demand. Every generic stream operator (RFStream.h) works on sequences through the five
// primitives below, lazily: nothing is computed beyond what a caller reads, so infinite sequences
// are fine as long as only a finite prefix is read.
//
// Conventions:
// - A nil head means the sequence is empty; a null tail means nothing follows the head. So a
//   sequence cannot hold nil: where a source holds "no value" markers (tuples), they come out as
//   the null marker, and a value that an operator maps to nil is dropped.
// - The dynamic sequence (sequenceWithHeadBlock) computes its head and its tail at most once each
//   and then lets its blocks go; the sequences over arrays, strings, index sets and tuples make
//   each tail afresh as a small node over the same shared storage.
// - Sequences never change after they are made; copy() is the sequence itself.
//
// Forms: arrays, sets, dictionaries (as key-value tuples, or keys or values alone), index sets,
// tuples, strings (one head per UTF-16 unit, as the platform counted; array() gives composed
// characters instead, so "e" + a combining accent walks as two heads but is one element; a
// character outside the Basic Multilingual Plane walks as two U+FFFD heads, since UTF-8 text
// cannot hold half a surrogate pair), enumerators (a block giving the next object, nil at the
// end), and signals (RFSignal::sequence(), whose heads wait for the signal's values).
//
// Debug names, kept only when RF_DEBUG_SIGNAL_NAMES is set: "+sequenceWithHeadBlock:tailBlock:",
// "+return: %@", "[%@] -bind:", "[%@] -concat: %@", "[%@] -zipWith: %@", "[%@] -signal",
// "[%@] -signalWithScheduler: %@"; the tails of array, string, tuple and signal sequences take
// their parent's name, and a dynamic sequence gives its name to a computed tail that has none.
//
// Archiving: every sequence archives as an array sequence of its values (an infinite one never
// finishes), except the empty sequence (the shared one comes back) and one-value sequences.
//
// Threads: sequences may be read from several threads at once. A dynamic sequence evaluates its
// head and tail under its own re-entrant lock, so each block runs once and every reader sees the
// memoised value; a block may read other sequences (their nodes then lock too). A signal
// sequence's head, tail and array() block the calling thread until the signal has delivered what
// they need (on the main thread they run the main run loop while they wait). An enumerator hands
// out each value once, to whichever thread asks first.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFStream.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

class RFSequence;
class RFSequenceEnumerator;
using RFSequencePtr = std::shared_ptr<RFSequence>;
using RFSequenceEnumeratorPtr = std::shared_ptr<RFSequenceEnumerator>;

class RFSequence : public RFStreamOperators<RFSequence> {
  ZORVEL_CLASS(RFSequence, RFStream)

 public:
  using HeadBlock = std::function<platform::Value()>;
  using TailBlock = std::function<RFSequencePtr()>;
  using EnumerationBlock = std::function<void(const platform::Value& value, bool& stop)>;

  // --- Making sequences ------------------------------------------------------------------------
  // A dynamic sequence: the head from the first block, the tail (null: none) from the second,
  // each run once, when first read. "+sequenceWithHeadBlock:tailBlock:"
  static RFSequencePtr sequenceWithHeadBlock(HeadBlock headBlock, TailBlock tailBlock);

  // --- Primitives ------------------------------------------------------------------------------
  // The shared empty sequence.
  static RFSequencePtr empty();
  // A sequence of the one value (nil gives a sequence that reads as empty). "+return: %@"
  static RFSequencePtr returnValue(platform::Value value);
  // Calls the factory once, now, and gives the lazy sequence of the bind block's sequences one
  // after another. A stop set with a non-empty sequence ends the result after that sequence's
  // first value; a stop step ends it before. The eager sequence binds eagerly: every value of
  // the sequence given with the stop is kept. "[%@] -bind:"
  virtual RFSequencePtr bind(RFStreamBindBlockFactory block);
  // The receiver's values, then the other's. "[%@] -concat: %@"
  virtual RFSequencePtr concat(const RFSequencePtr& sequence);
  // Tuples of the n-th values of both, as long as both have one. "[%@] -zipWith: %@"
  RFSequencePtr zipWith(const RFSequencePtr& sequence);
  using RFStreamOperators<RFSequence>::concat;

  RFStreamPtr emptyStream() const override;
  RFStreamPtr returnStream(const platform::Value& value) const override;
  RFStreamPtr bindStream(RFStreamBindBlockFactory block) override;
  RFStreamPtr concatStream(const RFStreamPtr& stream) override;
  RFStreamPtr zipWithStream(const RFStreamPtr& stream) override;

  // --- Reading ---------------------------------------------------------------------------------
  // The first value; nil when the sequence is empty (always, on this abstract root).
  virtual platform::Value head() const;
  // The values after the head; null when there are none.
  virtual RFSequencePtr tail() const;
  // Every value, in order (never returns for an infinite sequence).
  virtual platform::ValueArray array() const;
  // Calls the block with each value in order until it sets `stop`.
  virtual void enumerate(const EnumerationBlock& block) const;
  // An enumerator that starts at this sequence.
  RFSequenceEnumeratorPtr objectEnumerator() const;
  // A signal that sends the values, one per run of the scheduler, then completes; each
  // subscription walks the sequence from its start. "[%@] -signalWithScheduler: %@"
  RFSignalPtr signalWithScheduler(const RFSchedulerPtr& scheduler);
  // On a new background scheduler. "[%@] -signal"
  RFSignalPtr signal();

  // --- Folding and searching -------------------------------------------------------------------
  // The start reduced with every value from the first on (the start when empty).
  platform::Value foldLeftWithStart(platform::Value start,
                                    const std::function<platform::Value(const platform::Value& accumulator,
                                                                        const platform::Value& value)>& reduce) const;
  // reduce(head, rest), where rest's head is the fold of the tail, computed only when the block
  // reads it (the eager sequence computes it first). The start when empty.
  virtual platform::Value foldRightWithStart(
      platform::Value start,
      std::function<platform::Value(const platform::Value& value, const RFSequencePtr& rest)> reduce) const;
  // The same under the older names.
  platform::Value foldLeftWithStartCombine(
      platform::Value start,
      const std::function<platform::Value(const platform::Value& accumulator, const platform::Value& value)>& combine)
      const {
    return foldLeftWithStart(std::move(start), combine);
  }
  platform::Value foldRightWithStartCombine(
      platform::Value start,
      std::function<platform::Value(const platform::Value& value, const RFSequencePtr& rest)> combine) const {
    return foldRightWithStart(std::move(start), std::move(combine));
  }
  // Whether a value passes (reading no further than it).
  bool any(const Predicate& predicate);
  // Whether every value passes; the predicate is not called after the first refusal, but the
  // whole sequence is still walked.
  bool all(const Predicate& predicate) const;
  // The first value that passes, or nil.
  platform::Value objectPassingTest(const Predicate& predicate);

  // An eager sequence of every value (evaluates all of it now).
  virtual RFSequencePtr eagerSequence() const;
  // A lazy sequence of the same values (the receiver, except for an eager one).
  virtual RFSequencePtr lazySequence() const;

  // --- Object ----------------------------------------------------------------------------------
  platform::ObjectPtr copy() const override;
  // Equal values in the same order, the same number of them.
  bool isEqual(const platform::Object& other) const override;
  // The hash of the head (0 when empty).
  std::size_t hash() const override;
  const platform::Class& classForCoder() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

 protected:
  RFSequence() = default;
  RFSequencePtr selfSequence() const {
    return std::static_pointer_cast<RFSequence>(std::const_pointer_cast<platform::Object>(shared_from_this()));
  }
  // The lazy bind: each node holds the source still to read and the sequence in progress.
  virtual RFSequencePtr bindPassingThrough(std::shared_ptr<const RFStreamBindBlock> block, RFSequencePtr passthrough);
};

extern template class RFStreamOperators<RFSequence>;

// The memoising node (see the top of this file).
class RFDynamicSequence final : public RFSequence {
  ZORVEL_CLASS(RFDynamicSequence, RFSequence)

 public:
  using DependencyBlock = std::function<platform::Value()>;
  using DependentHeadBlock = std::function<platform::Value(const platform::Value& dependency)>;
  using DependentTailBlock = std::function<RFSequencePtr(const platform::Value& dependency)>;

  static RFSequencePtr sequenceWithHeadBlock(HeadBlock headBlock, TailBlock tailBlock);
  // The dependency block runs at most once, before whichever of head and tail is read first, and
  // its result is given to both blocks.
  static RFSequencePtr sequenceWithLazyDependency(DependencyBlock dependencyBlock, DependentHeadBlock headBlock,
                                                  DependentTailBlock tailBlock);
  ~RFDynamicSequence() override;

  platform::Value head() const override;
  RFSequencePtr tail() const override;
  // "<RFDynamicSequence: 0x...>{ name = ..., head = ..., tail = ... }", "(unresolved)" for what is
  // not computed yet.
  std::string description() const override;

 private:
  RFDynamicSequence() = default;
  void resolveDependencyLocked() const ZORVEL_REQUIRES(lock_);

  mutable platform::RecursiveLock lock_;
  mutable platform::Value head_ ZORVEL_GUARDED_BY(lock_);
  mutable RFSequencePtr tail_ ZORVEL_GUARDED_BY(lock_);
  mutable platform::Value dependency_ ZORVEL_GUARDED_BY(lock_);
  bool hasDependency_ = false;
  mutable DependencyBlock dependencyBlock_ ZORVEL_GUARDED_BY(lock_);
  mutable DependentHeadBlock headBlock_ ZORVEL_GUARDED_BY(lock_);
  mutable DependentTailBlock tailBlock_;
};

class RFEmptySequence final : public RFSequence {
  ZORVEL_CLASS(RFEmptySequence, RFSequence)

 public:
  static const RFSequencePtr& empty();
  // The shared instance keeps no name.
  void setName(std::string) override {}
  platform::Value head() const override { return {}; }
  RFSequencePtr tail() const override { return nullptr; }
  platform::ValueArray array() const override { return {}; }
  void enumerate(const EnumerationBlock&) const override {}
  bool isEqual(const platform::Object& other) const override { return this == &other; }
  std::size_t hash() const override { return std::hash<const void*>{}(this); }
  const platform::Class& classForCoder() const override { return staticClass(); }
  void encodeWithCoder(platform::KeyedArchiver&) const override {}
  // An archived empty sequence comes back as the shared one.
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;
  platform::ObjectPtr replacementAfterDecoding() override { return empty(); }
  std::string description() const override;

 protected:
  RFSequencePtr bindPassingThrough(std::shared_ptr<const RFStreamBindBlock> block, RFSequencePtr passthrough) override;

 private:
  RFEmptySequence() = default;
};

class RFUnarySequence final : public RFSequence {
  ZORVEL_CLASS(RFUnarySequence, RFSequence)

 public:
  static RFSequencePtr returnValue(platform::Value value);
  platform::Value head() const override { return head_; }
  RFSequencePtr tail() const override { return nullptr; }
  // Calls the bind block once with the head.
  RFSequencePtr bind(RFStreamBindBlockFactory block) override;
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override { return head_.hash(); }
  const platform::Class& classForCoder() const override { return staticClass(); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;
  std::string description() const override;

 private:
  RFUnarySequence() = default;
  platform::Value head_;
};

// Values of an array from an offset on; tails share the array.
class RFArraySequence : public RFSequence {
  ZORVEL_CLASS(RFArraySequence, RFSequence)

 public:
  // The receiving kind's empty sequence when the offset is the array's count.
  static RFSequencePtr sequenceWithArray(platform::ValueArray array, std::uint64_t offset = 0);

  platform::Value head() const override;
  RFSequencePtr tail() const override;
  platform::ValueArray array() const override;
  void enumerate(const EnumerationBlock& block) const override;
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;
  // "{ name = ..., array = ... }" with the whole backing array.
  std::string description() const override;

 protected:
  RFArraySequence() = default;
  virtual RFSequencePtr makeNode(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset) const;
  template <class T>
  static RFSequencePtr makeNodeOf(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset);

  std::shared_ptr<const platform::ValueArray> backing_;
  std::uint64_t offset_ = 0;
};

// An array sequence whose operators evaluate everything at once and stay eager.
class RFEagerSequence final : public RFArraySequence {
  ZORVEL_CLASS(RFEagerSequence, RFArraySequence)

 public:
  static RFSequencePtr sequenceWithArray(platform::ValueArray array, std::uint64_t offset = 0);
  static RFSequencePtr returnValue(platform::Value value);

  RFSequencePtr bind(RFStreamBindBlockFactory block) override;
  RFSequencePtr concat(const RFSequencePtr& sequence) override;
  using RFSequence::concat;
  RFStreamPtr returnStream(const platform::Value& value) const override { return returnValue(value); }
  platform::Value foldRightWithStart(
      platform::Value start,
      std::function<platform::Value(const platform::Value& value, const RFSequencePtr& rest)> reduce) const override;
  RFSequencePtr eagerSequence() const override { return selfSequence(); }
  RFSequencePtr lazySequence() const override;

 protected:
  RFSequencePtr makeNode(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset) const override;

 private:
  friend class RFArraySequence;
  RFEagerSequence() = default;
};

// One head per UTF-16 unit of a string, from an offset on (see the top of this file).
class RFStringSequence final : public RFSequence {
  ZORVEL_CLASS(RFStringSequence, RFSequence)

 public:
  // The empty sequence when the offset (in UTF-16 units) is the string's length.
  static RFSequencePtr sequenceWithString(std::string string, std::uint64_t offset = 0);

  platform::Value head() const override;
  RFSequencePtr tail() const override;
  // The composed characters from the offset on.
  platform::ValueArray array() const override;
  // "{ name = ..., string = ... }" with the string from the offset on.
  std::string description() const override;

 private:
  RFStringSequence() = default;
  std::shared_ptr<const std::string> string_;
  std::size_t byteOffset_ = 0;  // of the character holding the head
  bool secondUnit_ = false;     // the head is the second unit of a surrogate pair
};

// The indexes of an index set, ascending, as unsigned numbers.
class RFIndexSetSequence final : public RFSequence {
  ZORVEL_CLASS(RFIndexSetSequence, RFSequence)

 public:
  // The empty sequence for an empty set. The set is sorted and each index kept once.
  static RFSequencePtr sequenceWithIndexSet(const platform::IndexSet& indexes);
  // A node `offset` places further on than `sequence`, sharing its buffer.
  static RFSequencePtr sequenceWithIndexSetSequence(const std::shared_ptr<const RFIndexSetSequence>& sequence,
                                                    std::uint64_t offset);

  platform::Value head() const override;
  RFSequencePtr tail() const override;
  platform::ValueArray array() const override;
  void enumerate(const EnumerationBlock& block) const override;
  // "{ name = ..., indexes = 1, 2, 3 }"
  std::string description() const override;

 private:
  RFIndexSetSequence() = default;
  std::shared_ptr<const std::vector<std::uint64_t>> data_;
  std::uint64_t start_ = 0;
  std::uint64_t count_ = 0;
};

// The values of a tuple, its nil marker given out as the null marker.
class RFTupleSequence final : public RFSequence {
  ZORVEL_CLASS(RFTupleSequence, RFSequence)

 public:
  // The empty sequence when the offset is the tuple's count.
  static RFSequencePtr sequenceWithTuple(RFTuplePtr tuple, std::uint64_t offset = 0);

  platform::Value head() const override;
  RFSequencePtr tail() const override;
  platform::ValueArray array() const override;
  void enumerate(const EnumerationBlock& block) const override;
  // "{ name = ..., tuple = ... }" with every value of the tuple.
  std::string description() const override;

 private:
  RFTupleSequence() = default;
  RFTuplePtr tuple_;
  std::uint64_t offset_ = 0;
};

// The values of a signal, subscribed once, at creation, through a replay subject that keeps
// everything it receives. A nil value reads as the null marker; the signal's error or completion
// ends the sequence.
class RFSignalSequence final : public RFSequence {
  ZORVEL_CLASS(RFSignalSequence, RFSequence)

 public:
  static RFSequencePtr sequenceWithSignal(const RFSignalPtr& signal);

  // Waits for the first value or the end.
  platform::Value head() const override;
  // A new signal sequence of the values after the first.
  RFSequencePtr tail() const override;
  // Waits for the end; the values received when the signal fails.
  platform::ValueArray array() const override;
  // "{ name = ..., values = ... … }" with the values received so far.
  std::string description() const override;

 private:
  RFSignalSequence() = default;
  RFReplaySubjectPtr subject_;
};

// Hands out a sequence's values one at a time, each once.
class RFSequenceEnumerator final : public platform::Object {
  ZORVEL_CLASS(RFSequenceEnumerator, platform::Object)

 public:
  static RFSequenceEnumeratorPtr enumeratorWithSequence(RFSequencePtr sequence);
  // The next value, or nil once the sequence is used up.
  platform::Value nextObject();
  // The values not handed out yet.
  platform::ValueArray allObjects();

 private:
  RFSequenceEnumerator() = default;
  platform::RecursiveLock lock_;
  RFSequencePtr sequence_ ZORVEL_GUARDED_BY(lock_);
};

// --- Collections and strings as sequences -----------------------------------------------------------
// An array, set (in its order), dictionary (a copy taken now; tuples of key and value, in the
// dictionary's order) or string. Nil gives the empty sequence; other kinds give null.
RFSequencePtr rf_sequence(const platform::Value& collection);
RFSequencePtr rf_sequence(const platform::ValueArray& array);
RFSequencePtr rf_sequence(const platform::IndexSet& indexes);
RFSequencePtr rf_sequence(const RFTuplePtr& tuple);
// A dictionary's keys or values, in its order.
RFSequencePtr rf_keySequence(const platform::ValueDictionary& dictionary);
RFSequencePtr rf_valueSequence(const platform::ValueDictionary& dictionary);
// A sequence over an enumerator: each node asks `nextObject` for its head when the head is first
// read (nil ends the sequence), so the value a node gets depends on the order nodes are read.
RFSequencePtr rf_sequenceWithEnumerator(std::function<platform::Value()> nextObject);

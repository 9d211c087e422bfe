#pragma once

// Streams: the root of the framework's two kinds of stream, signals (pushed to subscribers,
// RFSignal.h) and sequences (pulled). A kind of stream supplies five primitives, and every
// generic operator below is written once in terms of them:
//
//   static Ptr empty();                          a stream that ends at once
//   static Ptr returnValue(platform::Value);     a stream of one value
//   Ptr bind(RFStreamBindBlockFactory);          each value replaced by the stream a block gives
//   Ptr concat(const Ptr&);                      the receiver, then the other stream
//   Ptr zipWith(const Ptr&);                     the n-th values of both as RFTuples
//
// A kind plugs in by deriving from RFStreamOperators<Kind> (which derives from RFStream) and
// defining those five, with `using RFStreamOperators<Kind>::concat;` so that its own concat does
// not hide the collection form; its .cpp file includes "reactive/RFStreamOperatorsInternal.h" and
// instantiates RFStreamOperators<Kind> explicitly. Operators then return the kind's own pointer
// type, and class operators (zip, concat of a collection, ...) are called on the kind
// (RFSignal::zip(...)).
//
// A bind block answers each value with an RFBindStep: a stream of the receiver's kind, or one of
// the two streams every kind makes itself (empty, or one value), or stop. The two self-made
// streams are described rather than built, so a kind's bind may deliver them without making
// them (signals do, where the stream would have delivered at once); the effect is the kind's own
// empty() or returnValue().
//
// Operators keep their per-subscription state (counters, running values) inside the block that
// bind calls once per subscription, take no locks of their own, and rely on one subscription's
// values arriving one at a time. Debug names are kept only when RF_DEBUG_SIGNAL_NAMES is set
// (RFDescription.h). Streams may be shared between threads; `name` is guarded by its own lock.

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/format.h"
#include "platform/runtime/object.h"
#include "platform/runtime/thread.h"
#include "platform/runtime/value.h"
#include "reactive/RFDescription.h"
#include "reactive/RFTuple.h"

class RFStream;
using RFStreamPtr = std::shared_ptr<RFStream>;

// What a bind block gives for one value.
class RFBindStep {
 public:
  enum class Kind : std::uint8_t {
    Stop,    // no stream: ends the receiver's part (the block's nil)
    Empty,   // the receiver kind's empty stream
    Value,   // the receiver kind's stream of one value
    Stream,  // a stream of the receiver's kind
  };

  RFBindStep() = default;  // stop
  // A stream; a null one stops.
  template <class T>
  requires std::derived_from<T, RFStream> RFBindStep(
      std::shared_ptr<T> stream)  // NOLINT: implicit, as a block returns a stream
      : kind_(stream ? Kind::Stream : Kind::Stop), object_(std::move(stream)) {}
  RFBindStep(std::nullptr_t) {}  // NOLINT: stop

  static RFBindStep stop() { return RFBindStep(); }
  static RFBindStep empty() { return RFBindStep(Kind::Empty, {}); }
  static RFBindStep value(platform::Value value) { return RFBindStep(Kind::Value, std::move(value)); }

  Kind kind() const { return kind_; }
  // The value of a Value step.
  const platform::Value& value() const { return object_; }
  // The stream of a Stream step, as its kind.
  template <class S>
  std::shared_ptr<S> stream() const {
    return object_.as<S>();
  }

 private:
  RFBindStep(Kind kind, platform::Value object) : kind_(kind), object_(std::move(object)) {}
  Kind kind_ = Kind::Stop;
  platform::Value object_;
};

// Takes a value and may set `stop` (the receiver gives no further values); returns the step.
using RFStreamBindBlock = std::function<RFBindStep(const platform::Value& value, bool& stop)>;
// Called once per subscription (or traversal) to get its bind block, so it can keep state.
using RFStreamBindBlockFactory = std::function<RFStreamBindBlock()>;

class RFStream : public platform::Object {
  ZORVEL_CLASS(RFStream, platform::Object)

 public:
  virtual std::string name() const;
  virtual void setName(std::string name);
  // Formats and stores the name only when debug naming is on; otherwise builds nothing.
  template <class... Args>
  void setNameWithFormat(std::string_view format, const Args&... args) {
    if (rf_debugNamesEnabled()) setName(platform::format(format, args...));
  }

  // The primitives, reached without knowing the kind; each gives a stream of the receiver's
  // kind. Null on the abstract root.
  virtual RFStreamPtr emptyStream() const;
  virtual RFStreamPtr returnStream(const platform::Value& value) const;
  virtual RFStreamPtr bindStream(RFStreamBindBlockFactory block);
  virtual RFStreamPtr concatStream(const RFStreamPtr& stream);
  virtual RFStreamPtr zipWithStream(const RFStreamPtr& stream);

 protected:
  RFStream() = default;

 private:
  mutable platform::SpinLock nameLock_;
  std::string name_;
};

// The generic operators, for the kind S (see the top of this file). Every result is named with
// the format given, "[%@]" being the receiver's name.
template <class S>
class RFStreamOperators : public RFStream {
 public:
  using Ptr = std::shared_ptr<S>;
  using Predicate = std::function<bool(const platform::Value& value)>;

  // Each value replaced by the stream the block gives (none: empty). "[%@] -flattenMap:"
  Ptr flattenMap(std::function<Ptr(const platform::Value& value)> block);
  // Values are streams of this kind; their values, as they come. "[%@] -flatten"
  Ptr flatten();
  // "[%@] -map:"
  Ptr map(std::function<platform::Value(const platform::Value& value)> block);
  // Every value replaced by `value`. "[%@] -mapReplace: %@"
  Ptr mapReplace(platform::Value value);
  // Keeps the values the block accepts. "[%@] -filter:"
  Ptr filter(Predicate block);
  // Drops values equal to `value` (nil drops nils only). "[%@] -ignore: %@"
  Ptr ignore(platform::Value value);
  // Values are RFTuples; calls the block with their items as arguments (1 to 15; see
  // RFBlockTrampoline) and passes its result. "[%@] -reduceEach:"
  template <class F>
  Ptr reduceEach(F block) {
    RFBlockTrampoline trampoline(std::move(block));
    return reduceEachWith(
        [trampoline](const platform::Value& value) { return trampoline.invokeWithArguments(value.as<RFTuple>()); });
  }
  // `value` first, then the receiver's values. "[%@] -startWith: %@"
  Ptr startWith(platform::Value value);
  // Drops the first `count` values. "[%@] -skip: %lu"
  Ptr skip(std::uint64_t count);
  // The first `count` values, then ends (the receiver is let go after the last one); 0 gives
  // the empty stream without naming anything. "[%@] -take: %lu"
  Ptr take(std::uint64_t count);
  // The running value, reduced with each value and its index from 0; the start is not sent.
  // "[%@] -scanWithStart: %@ reduceWithIndex:"
  Ptr scanWithStartReduceWithIndex(
      platform::Value start,
      std::function<platform::Value(const platform::Value& running, const platform::Value& next, std::uint64_t index)>
          reduce);
  // "[%@] -scanWithStart: %@ reduce:"
  Ptr scanWithStart(platform::Value start,
                    std::function<platform::Value(const platform::Value& running, const platform::Value& next)> reduce);
  // The same under its older name, and named as the operator it calls.
  Ptr scanWithStartCombine(
      platform::Value start,
      std::function<platform::Value(const platform::Value& running, const platform::Value& next)> combine);
  // The block's result for each value and the one before it (the start for the first).
  // "[%@] -combinePreviousWithStart: %@ reduce:"
  Ptr combinePreviousWithStart(
      platform::Value start,
      std::function<platform::Value(const platform::Value& previous, const platform::Value& current)> reduce);
  // The same under its older name, and named as the operator it calls.
  Ptr mapPreviousWithStart(
      platform::Value start,
      std::function<platform::Value(const platform::Value& previous, const platform::Value& current)> reduce);
  // Values until the block accepts one, which ends the stream unsent. "[%@] -takeUntilBlock:"
  Ptr takeUntilBlock(Predicate block);
  // Values while the block accepts them. "[%@] -takeWhileBlock:"
  Ptr takeWhileBlock(Predicate block);
  // Drops values until the block accepts one; from it on, everything. "[%@] -skipUntilBlock:"
  Ptr skipUntilBlock(Predicate block);
  // "[%@] -skipWhileBlock:"
  Ptr skipWhileBlock(Predicate block);
  // Drops a value equal to the one before it. "[%@] -distinctUntilChanged"
  Ptr distinctUntilChanged();
  // Each value replaced by the stream the block (called once per value) gives.
  // "[%@] -sequenceMany:"
  Ptr sequenceMany(std::function<Ptr()> block);

  // The streams combined pairwise by the block, the first one's values as one-item tuples, then
  // flattened into one tuple per combination (one item per stream, in order). An empty
  // collection gives the empty stream. Not named.
  static Ptr join(const std::vector<Ptr>& streams, std::function<Ptr(const Ptr& joined, const Ptr& next)> block);
  // The n-th values of every stream as one tuple. "+zip: %@"
  static Ptr zip(const std::vector<Ptr>& streams);
  // The same, each tuple reduced by the block (see reduceEach). "+zip: %@ reduce:"
  template <class F>
  static Ptr zip(const std::vector<Ptr>& streams, F reduce) {
    Ptr result = zip(streams)->reduceEach(std::move(reduce));
    result->setNameWithFormat("+zip: %@ reduce:", rf_describeStreams(streams));
    return result;
  }
  // The streams one after another. "+concat: %@"
  static Ptr concat(const std::vector<Ptr>& streams);

  // A collection of streams as "%@" shows it.
  template <class T>
  static platform::Value rf_describeStreams(const std::vector<std::shared_ptr<T>>& streams) {
    platform::ValueArray items;
    for (const auto& stream : streams) items.push_back(platform::Value(stream));
    return platform::Value(std::move(items));
  }

 protected:
  RFStreamOperators() = default;
  Ptr selfStream() { return std::static_pointer_cast<S>(this->shared_from_this()); }

 private:
  Ptr reduceEachWith(std::function<platform::Value(const platform::Value& value)> apply);
  // bind with a block that never stops, named later by the caller.
  Ptr bindEach(std::function<RFStreamBindBlock()> factory);
};

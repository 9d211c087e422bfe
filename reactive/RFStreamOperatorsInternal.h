#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFStreamOperatorsInternal.h is internal to the reactive framework"
#endif

// The bodies of the generic stream operators (RFStream.h). Included only by the .cpp file of a
// kind of stream, which instantiates RFStreamOperators<Kind> explicitly after including it.

#include <utility>

#include "reactive/RFStream.h"
#include "reactive/RFTuple.h"

template <class S>
auto RFStreamOperators<S>::bindEach(std::function<RFStreamBindBlock()> factory) -> Ptr {
  return selfStream()->bind(std::move(factory));
}

template <class S>
auto RFStreamOperators<S>::flattenMap(std::function<Ptr(const platform::Value& value)> block) -> Ptr {
  Ptr result = bindEach([block] {
    return [block](const platform::Value& value, bool&) -> RFBindStep {
      Ptr stream = block(value);
      if (!stream) return RFBindStep::empty();
      return RFBindStep(std::move(stream));
    };
  });
  result->setNameWithFormat("[%@] -flattenMap:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::flatten() -> Ptr {
  Ptr result = flattenMap([](const platform::Value& value) { return value.as<S>(); });
  result->setNameWithFormat("[%@] -flatten", this->name());
  return result;
}

// map, filter and the like are flattenMap with a stream of one value or the empty stream; they
// give those as steps, which bind may deliver without making the streams.
template <class S>
auto RFStreamOperators<S>::map(std::function<platform::Value(const platform::Value& value)> block) -> Ptr {
  Ptr result = bindEach(
      [block] { return [block](const platform::Value& value, bool&) { return RFBindStep::value(block(value)); }; });
  result->setNameWithFormat("[%@] -map:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::mapReplace(platform::Value value) -> Ptr {
  Ptr result = map([value](const platform::Value&) { return value; });
  result->setNameWithFormat("[%@] -mapReplace: %@", this->name(), rf_description(value));
  return result;
}

template <class S>
auto RFStreamOperators<S>::filter(Predicate block) -> Ptr {
  Ptr result = bindEach([block] {
    return [block](const platform::Value& value, bool&) {
      return block(value) ? RFBindStep::value(value) : RFBindStep::empty();
    };
  });
  result->setNameWithFormat("[%@] -filter:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::ignore(platform::Value value) -> Ptr {
  Ptr result = filter([value](const platform::Value& candidate) { return !(candidate == value); });
  result->setNameWithFormat("[%@] -ignore: %@", this->name(), rf_description(value));
  return result;
}

template <class S>
auto RFStreamOperators<S>::reduceEachWith(std::function<platform::Value(const platform::Value& value)> apply) -> Ptr {
  Ptr result = map(std::move(apply));
  result->setNameWithFormat("[%@] -reduceEach:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::startWith(platform::Value value) -> Ptr {
  // The receiver's own kind makes the first part where it says (eager sequences stay eager).
  Ptr first = std::static_pointer_cast<S>(this->returnStream(value));
  if (!first) first = S::returnValue(value);
  Ptr result = first->concat(selfStream());
  result->setNameWithFormat("[%@] -startWith: %@", this->name(), rf_description(value));
  return result;
}

template <class S>
auto RFStreamOperators<S>::skip(std::uint64_t count) -> Ptr {
  Ptr result = bindEach([count] {
    return [count, skipped = std::uint64_t{0}](const platform::Value& value, bool&) mutable {
      if (skipped < count) {
        ++skipped;
        return RFBindStep::empty();
      }
      return RFBindStep::value(value);
    };
  });
  result->setNameWithFormat("[%@] -skip: %lu", this->name(), count);
  return result;
}

template <class S>
auto RFStreamOperators<S>::take(std::uint64_t count) -> Ptr {
  if (count == 0) return S::empty();
  Ptr result = bindEach([count] {
    return [count, taken = std::uint64_t{0}](const platform::Value& value, bool& stop) mutable -> RFBindStep {
      if (taken >= count) return RFBindStep::stop();
      if (++taken == count) stop = true;
      return RFBindStep::value(value);
    };
  });
  result->setNameWithFormat("[%@] -take: %lu", this->name(), count);
  return result;
}

template <class S>
auto RFStreamOperators<S>::scanWithStartReduceWithIndex(
    platform::Value start,
    std::function<platform::Value(const platform::Value& running, const platform::Value& next, std::uint64_t index)>
        reduce) -> Ptr {
  Ptr result = bindEach([start, reduce] {
    return [reduce, running = start, index = std::uint64_t{0}](const platform::Value& value, bool&) mutable {
      running = reduce(running, value, index++);
      return RFBindStep::value(running);
    };
  });
  result->setNameWithFormat("[%@] -scanWithStart: %@ reduceWithIndex:", this->name(), rf_description(start));
  return result;
}

template <class S>
auto RFStreamOperators<S>::scanWithStart(
    platform::Value start,
    std::function<platform::Value(const platform::Value& running, const platform::Value& next)> reduce) -> Ptr {
  Ptr result = scanWithStartReduceWithIndex(start, [reduce](const platform::Value& running, const platform::Value& next,
                                                            std::uint64_t) { return reduce(running, next); });
  result->setNameWithFormat("[%@] -scanWithStart: %@ reduce:", this->name(), rf_description(start));
  return result;
}

template <class S>
auto RFStreamOperators<S>::scanWithStartCombine(
    platform::Value start,
    std::function<platform::Value(const platform::Value& running, const platform::Value& next)> combine) -> Ptr {
  return scanWithStart(std::move(start), std::move(combine));
}

template <class S>
auto RFStreamOperators<S>::combinePreviousWithStart(
    platform::Value start,
    std::function<platform::Value(const platform::Value& previous, const platform::Value& current)> reduce) -> Ptr {
  // The state is the tuple (previous value, last result); the first previous value is the start.
  platform::Value initial(RFTuple::tupleWithValues({start}));
  Ptr result = scanWithStart(initial, [reduce](const platform::Value& state, const platform::Value& next) {
                 platform::Value previous = state.as<RFTuple>()->objectAtIndex(0);
                 return platform::Value(RFTuple::tupleWithValues({next, reduce(previous, next)}));
               })->map([](const platform::Value& state) { return state.as<RFTuple>()->objectAtIndex(1); });
  result->setNameWithFormat("[%@] -combinePreviousWithStart: %@ reduce:", this->name(), rf_description(start));
  return result;
}

template <class S>
auto RFStreamOperators<S>::mapPreviousWithStart(
    platform::Value start,
    std::function<platform::Value(const platform::Value& previous, const platform::Value& current)> reduce) -> Ptr {
  return combinePreviousWithStart(std::move(start), std::move(reduce));
}

template <class S>
auto RFStreamOperators<S>::takeUntilBlock(Predicate block) -> Ptr {
  Ptr result = bindEach([block] {
    return [block](const platform::Value& value, bool&) -> RFBindStep {
      if (block(value)) return RFBindStep::stop();
      return RFBindStep::value(value);
    };
  });
  result->setNameWithFormat("[%@] -takeUntilBlock:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::takeWhileBlock(Predicate block) -> Ptr {
  Ptr result = takeUntilBlock([block](const platform::Value& value) { return !block(value); });
  result->setNameWithFormat("[%@] -takeWhileBlock:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::skipUntilBlock(Predicate block) -> Ptr {
  Ptr result = bindEach([block] {
    return [block, skipping = true](const platform::Value& value, bool&) mutable {
      if (skipping) {
        if (!block(value)) return RFBindStep::empty();
        skipping = false;
      }
      return RFBindStep::value(value);
    };
  });
  result->setNameWithFormat("[%@] -skipUntilBlock:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::skipWhileBlock(Predicate block) -> Ptr {
  Ptr result = skipUntilBlock([block](const platform::Value& value) { return !block(value); });
  result->setNameWithFormat("[%@] -skipWhileBlock:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::distinctUntilChanged() -> Ptr {
  Ptr result = bindEach([] {
    return [last = platform::Value(), initial = true](const platform::Value& value, bool&) mutable {
      if (!initial && value == last) return RFBindStep::empty();
      initial = false;
      last = value;
      return RFBindStep::value(value);
    };
  });
  result->setNameWithFormat("[%@] -distinctUntilChanged", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::sequenceMany(std::function<Ptr()> block) -> Ptr {
  Ptr result = flattenMap([block](const platform::Value&) { return block(); });
  result->setNameWithFormat("[%@] -sequenceMany:", this->name());
  return result;
}

template <class S>
auto RFStreamOperators<S>::join(const std::vector<Ptr>& streams,
                                std::function<Ptr(const Ptr& joined, const Ptr& next)> block) -> Ptr {
  Ptr joined;
  for (const Ptr& stream : streams) {
    if (!joined) {
      joined =
          stream->map([](const platform::Value& value) { return platform::Value(RFTuple::tupleWithValues({value})); });
    } else {
      joined = block(joined, stream);
    }
  }
  if (!joined) return S::empty();
  // Each value nests: (((a), b), c). Unpack from the newest stream's value outwards.
  return joined->map([](const platform::Value& value) {
    platform::ValueArray items;
    RFTuplePtr current = value.as<RFTuple>();
    while (current) {
      items.insert(items.begin(), current->last());
      if (current->count() < 2) break;
      current = current->first().template as<RFTuple>();
    }
    return platform::Value(RFTuple::tupleWithObjectsFromArray(items));
  });
}

template <class S>
auto RFStreamOperators<S>::zip(const std::vector<Ptr>& streams) -> Ptr {
  Ptr result = join(streams, [](const Ptr& joined, const Ptr& next) { return joined->zipWith(next); });
  result->setNameWithFormat("+zip: %@", rf_describeStreams(streams));
  return result;
}

template <class S>
auto RFStreamOperators<S>::concat(const std::vector<Ptr>& streams) -> Ptr {
  Ptr result = S::empty();
  for (const Ptr& stream : streams) result = result->concat(stream);
  result->setNameWithFormat("+concat: %@", rf_describeStreams(streams));
  return result;
}

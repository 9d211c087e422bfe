#include "reactive/bridges/RFSequence.h"

#include <algorithm>
#include <utility>

#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/format.h"
#include "platform/system/locks.h"
#include "platform/system/text.h"
#include "reactive/RFSignal.h"
#include "reactive/RFStreamOperatorsInternal.h"

template class RFStreamOperators<RFSequence>;

namespace {

// The sequence a bind step stands for; null for a stop (or a stream of another kind).
RFSequencePtr sequenceOfStep(const RFBindStep& step) {
  switch (step.kind()) {
    case RFBindStep::Kind::Stop:
      return nullptr;
    case RFBindStep::Kind::Empty:
      return RFSequence::empty();
    case RFBindStep::Kind::Value:
      return RFSequence::returnValue(step.value());
    case RFBindStep::Kind::Stream:
      return step.stream<RFSequence>();
  }
  return nullptr;
}

bool hasHead(const RFSequencePtr& sequence) { return sequence && !sequence->head().isNil(); }

// A tail that is missing or reads as empty.
bool endsHere(const RFSequencePtr& sequence) { return !sequence || sequence->isEqual(*RFSequence::empty()); }

// Tails of the collection-backed kinds carry their parent's name (only names kept for debugging).
void inheritName(const RFSequencePtr& tail, const RFSequence& parent) {
  if (!tail || !rf_debugNamesEnabled()) return;
  std::string name = parent.name();
  if (!name.empty()) tail->setName(std::move(name));
}

}  // namespace

// --- RFSequence -----------------------------------------------------------------------------------

RFSequencePtr RFSequence::sequenceWithHeadBlock(HeadBlock headBlock, TailBlock tailBlock) {
  return RFDynamicSequence::sequenceWithHeadBlock(std::move(headBlock), std::move(tailBlock));
}

RFSequencePtr RFSequence::empty() { return RFEmptySequence::empty(); }

RFSequencePtr RFSequence::returnValue(platform::Value value) { return RFUnarySequence::returnValue(std::move(value)); }

RFSequencePtr RFSequence::bind(RFStreamBindBlockFactory block) {
  auto bindBlock = std::make_shared<const RFStreamBindBlock>(block());
  RFSequencePtr result = bindPassingThrough(std::move(bindBlock), nullptr);
  result->setNameWithFormat("[%@] -bind:", name());
  return result;
}

namespace {
// What the three blocks of one node of a lazy bind share.
struct LazyBindNode {
  std::shared_ptr<const RFStreamBindBlock> block;
  RFSequencePtr source;   // not yet read
  RFSequencePtr current;  // the bind block's sequence in progress
  bool stop = false;
};
}  // namespace

RFSequencePtr RFSequence::bindPassingThrough(std::shared_ptr<const RFStreamBindBlock> block,
                                             RFSequencePtr passthrough) {
  auto node = std::make_shared<LazyBindNode>();
  node->block = std::move(block);
  node->source = selfSequence();
  node->current = std::move(passthrough);
  RFSequencePtr result = RFDynamicSequence::sequenceWithLazyDependency(
      [node]() -> platform::Value {
        // Read the source until the bind block gives a sequence with a head, or the source or
        // the block ends.
        while (!hasHead(node->current)) {
          if (node->stop) break;
          platform::Value value = node->source ? node->source->head() : platform::Value();
          if (value.isNil()) {
            node->stop = true;
            break;
          }
          RFSequencePtr inner = sequenceOfStep((*node->block)(value, node->stop));
          if (!inner) {
            node->stop = true;
            break;
          }
          node->current = std::move(inner);
          node->source = node->source->tail();
        }
        return {};
      },
      [node](const platform::Value&) { return node->current ? node->current->head() : platform::Value(); },
      [node](const platform::Value&) -> RFSequencePtr {
        if (node->stop) return nullptr;
        RFSequencePtr rest = node->current ? node->current->tail() : nullptr;
        RFSequencePtr source = node->source ? node->source : RFSequence::empty();
        return source->bindPassingThrough(node->block, std::move(rest));
      });
  if (rf_debugNamesEnabled()) result->setName(name());
  return result;
}

RFSequencePtr RFSequence::concat(const RFSequencePtr& sequence) {
  RFSequencePtr result =
      RFArraySequence::sequenceWithArray({platform::Value(selfSequence()), platform::Value(sequence)})->flatten();
  result->setNameWithFormat("[%@] -concat: %@", name(), sequence);
  return result;
}

RFSequencePtr RFSequence::zipWith(const RFSequencePtr& sequence) {
  RFSequencePtr self = selfSequence();
  RFSequencePtr result = sequenceWithHeadBlock(
      [self, sequence]() -> platform::Value {
        platform::Value mine = self->head();
        platform::Value theirs = sequence ? sequence->head() : platform::Value();
        if (mine.isNil() || theirs.isNil()) return {};
        return platform::Value(RFTuple::tupleWithValues({std::move(mine), std::move(theirs)}));
      },
      [self, sequence]() -> RFSequencePtr {
        RFSequencePtr mine = self->tail();
        RFSequencePtr theirs = sequence ? sequence->tail() : nullptr;
        if (endsHere(mine) || endsHere(theirs)) return nullptr;
        return mine->zipWith(theirs);
      });
  result->setNameWithFormat("[%@] -zipWith: %@", name(), sequence);
  return result;
}

RFStreamPtr RFSequence::emptyStream() const { return empty(); }
RFStreamPtr RFSequence::returnStream(const platform::Value& value) const { return returnValue(value); }
RFStreamPtr RFSequence::bindStream(RFStreamBindBlockFactory block) { return bind(std::move(block)); }
RFStreamPtr RFSequence::concatStream(const RFStreamPtr& stream) {
  return concat(std::dynamic_pointer_cast<RFSequence>(stream));
}
RFStreamPtr RFSequence::zipWithStream(const RFStreamPtr& stream) {
  return zipWith(std::dynamic_pointer_cast<RFSequence>(stream));
}

platform::Value RFSequence::head() const { return {}; }

RFSequencePtr RFSequence::tail() const { return nullptr; }

void RFSequence::enumerate(const EnumerationBlock& block) const {
  RFSequencePtr node = selfSequence();
  bool stop = false;
  while (node) {
    platform::Value value = node->head();
    if (value.isNil()) return;
    block(value, stop);
    if (stop) return;
    node = node->tail();
  }
}

platform::ValueArray RFSequence::array() const {
  platform::ValueArray values;
  enumerate([&values](const platform::Value& value, bool&) { values.push_back(value); });
  return values;
}

RFSequenceEnumeratorPtr RFSequence::objectEnumerator() const {
  return RFSequenceEnumerator::enumeratorWithSequence(selfSequence());
}

RFSignalPtr RFSequence::signalWithScheduler(const RFSchedulerPtr& scheduler) {
  RFSequencePtr self = selfSequence();
  RFSignalPtr result = RFSignal::createSignal([self, scheduler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    // This subscription's place in the sequence; the recursion runs one step at a time.
    auto position = std::make_shared<RFSequencePtr>(self);
    return scheduler->scheduleRecursiveBlock([position, subscriber](const std::function<void()>& reschedule) {
      RFSequencePtr& node = *position;
      platform::Value value = node ? node->head() : platform::Value();
      if (value.isNil()) {
        node.reset();
        subscriber->sendCompleted();
        return;
      }
      subscriber->sendNext(value);
      node = node->tail();
      reschedule();
    });
  });
  result->setNameWithFormat("[%@] -signalWithScheduler: %@", name(), scheduler);
  return result;
}

RFSignalPtr RFSequence::signal() {
  RFSignalPtr result = signalWithScheduler(RFScheduler::scheduler());
  result->setNameWithFormat("[%@] -signal", name());
  return result;
}

platform::Value RFSequence::foldLeftWithStart(
    platform::Value start,
    const std::function<platform::Value(const platform::Value& accumulator, const platform::Value& value)>& reduce)
    const {
  platform::Value accumulator = std::move(start);
  enumerate([&](const platform::Value& value, bool&) { accumulator = reduce(accumulator, value); });
  return accumulator;
}

namespace {
// The rest of a right fold: a one-node sequence whose head is the fold of `tail`, computed when
// the reduce block reads it.
RFSequencePtr foldRest(RFSequencePtr tail, platform::Value start,
                       std::function<platform::Value(const platform::Value&, const RFSequencePtr&)> reduce) {
  return RFSequence::sequenceWithHeadBlock(
      [tail = std::move(tail), start = std::move(start), reduce = std::move(reduce)]() -> platform::Value {
        if (!tail) return start;
        return tail->foldRightWithStart(start, reduce);
      },
      nullptr);
}
}  // namespace

platform::Value RFSequence::foldRightWithStart(
    platform::Value start,
    std::function<platform::Value(const platform::Value& value, const RFSequencePtr& rest)> reduce) const {
  platform::Value first = head();
  if (first.isNil()) return start;
  RFSequencePtr rest = foldRest(tail(), std::move(start), reduce);
  return reduce(first, rest);
}

bool RFSequence::any(const Predicate& predicate) { return !objectPassingTest(predicate).isNil(); }

bool RFSequence::all(const Predicate& predicate) const {
  platform::Value result = foldLeftWithStart(
      platform::Value(true), [&predicate](const platform::Value& accumulator, const platform::Value& value) {
        return platform::Value(accumulator.asBool() && predicate(value));
      });
  return result.asBool();
}

platform::Value RFSequence::objectPassingTest(const Predicate& predicate) { return filter(predicate)->head(); }

RFSequencePtr RFSequence::eagerSequence() const { return RFEagerSequence::sequenceWithArray(array()); }

RFSequencePtr RFSequence::lazySequence() const { return selfSequence(); }

platform::ObjectPtr RFSequence::copy() const { return std::const_pointer_cast<platform::Object>(shared_from_this()); }

bool RFSequence::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  auto* sequence = dynamic_cast<const RFSequence*>(&other);
  if (!sequence) return false;
  RFSequencePtr theirs = sequence->selfSequence();
  bool equal = true;
  enumerate([&](const platform::Value& value, bool& stop) {
    platform::Value theirValue = theirs ? theirs->head() : platform::Value();
    if (theirValue.isNil() || !(value == theirValue)) {
      equal = false;
      stop = true;
      return;
    }
    theirs = theirs->tail();
  });
  return equal && !hasHead(theirs);
}

std::size_t RFSequence::hash() const {
  platform::Value first = head();
  return first.isNil() ? 0 : first.hash();
}

const platform::Class& RFSequence::classForCoder() const { return RFArraySequence::staticClass(); }

void RFSequence::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeValue(platform::Value(array()), "array");
}

// --- RFDynamicSequence ----------------------------------------------------------------------------

RFSequencePtr RFDynamicSequence::sequenceWithHeadBlock(HeadBlock headBlock, TailBlock tailBlock) {
  auto sequence = platform::make<RFDynamicSequence>();
  platform::MutexLock lock(sequence->lock_);
  if (headBlock) sequence->headBlock_ = [block = std::move(headBlock)](const platform::Value&) { return block(); };
  if (tailBlock) sequence->tailBlock_ = [block = std::move(tailBlock)](const platform::Value&) { return block(); };
  sequence->setNameWithFormat("+sequenceWithHeadBlock:tailBlock:");
  return sequence;
}

RFSequencePtr RFDynamicSequence::sequenceWithLazyDependency(DependencyBlock dependencyBlock,
                                                            DependentHeadBlock headBlock,
                                                            DependentTailBlock tailBlock) {
  auto sequence = platform::make<RFDynamicSequence>();
  platform::MutexLock lock(sequence->lock_);
  sequence->hasDependency_ = true;
  sequence->dependencyBlock_ = std::move(dependencyBlock);
  sequence->headBlock_ = std::move(headBlock);
  sequence->tailBlock_ = std::move(tailBlock);
  return sequence;
}

namespace {
// Letting go of a long memoised chain: a node released while another node of this thread is
// being released hands its tail over instead of releasing it, and the outermost release lets
// the handed-over tails go one by one. So the stack never holds more than one release.
thread_local bool tReleasingSequence = false;
thread_local std::vector<RFSequencePtr> tReleasedTails;
}  // namespace

RFDynamicSequence::~RFDynamicSequence() {
  RFSequencePtr tail = std::move(tail_);
  if (!tail) return;
  if (tReleasingSequence) {
    tReleasedTails.push_back(std::move(tail));
    return;
  }
  tReleasingSequence = true;
  tail.reset();
  while (!tReleasedTails.empty()) {
    RFSequencePtr next = std::move(tReleasedTails.back());
    tReleasedTails.pop_back();
    next.reset();
  }
  tReleasingSequence = false;
}

void RFDynamicSequence::resolveDependencyLocked() const {
  if (!hasDependency_ || !dependencyBlock_) return;
  DependencyBlock block = std::move(dependencyBlock_);
  dependencyBlock_ = nullptr;
  dependency_ = block();
}

platform::Value RFDynamicSequence::head() const {
  platform::MutexLock lock(lock_);
  if (headBlock_) {
    resolveDependencyLocked();
    DependentHeadBlock block = std::move(headBlock_);
    headBlock_ = nullptr;
    head_ = block(dependency_);
  }
  return head_;
}

RFSequencePtr RFDynamicSequence::tail() const {
  platform::MutexLock lock(lock_);
  if (tailBlock_) {
    resolveDependencyLocked();
    DependentTailBlock block = std::move(tailBlock_);
    tailBlock_ = nullptr;
    tail_ = block(dependency_);
    if (tail_ && rf_debugNamesEnabled() && tail_->name().empty()) tail_->setName(name());
  }
  return tail_;
}

std::string RFDynamicSequence::description() const {
  platform::MutexLock lock(lock_);
  std::string headText = headBlock_ ? "(unresolved)" : head_.description();
  std::string tailText;
  if (tailBlock_)
    tailText = "(unresolved)";
  else if (tail_.get() == this)
    tailText = "(self)";
  else
    tailText = tail_ ? tail_->description() : "(null)";
  return platform::format("<%s: %p>{ name = %s, head = %s, tail = %s }", objectClass().name(),
                          static_cast<const void*>(this), name(), headText, tailText);
}

// --- RFEmptySequence, RFUnarySequence -------------------------------------------------------------

const RFSequencePtr& RFEmptySequence::empty() {
  static const RFSequencePtr sequence = platform::make<RFEmptySequence>();
  return sequence;
}

RFSequencePtr RFEmptySequence::bindPassingThrough(std::shared_ptr<const RFStreamBindBlock>, RFSequencePtr passthrough) {
  return passthrough ? passthrough : empty();
}

bool RFEmptySequence::initWithCoder(platform::KeyedUnarchiver&) { return true; }

std::string RFEmptySequence::description() const {
  return platform::format("<%s: %p>{ name = %s }", objectClass().name(), static_cast<const void*>(this), name());
}

RFSequencePtr RFUnarySequence::returnValue(platform::Value value) {
  auto sequence = platform::make<RFUnarySequence>();
  if (rf_debugNamesEnabled()) sequence->setName(platform::format("+return: %s", rf_description(value)));
  sequence->head_ = std::move(value);
  return sequence;
}

RFSequencePtr RFUnarySequence::bind(RFStreamBindBlockFactory block) {
  RFStreamBindBlock bindBlock = block();
  bool stop = false;
  RFSequencePtr result = sequenceOfStep(bindBlock(head_, stop));
  return result ? result : empty();
}

bool RFUnarySequence::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  auto* unary = dynamic_cast<const RFUnarySequence*>(&other);
  return unary && head_ == unary->head_;
}

void RFUnarySequence::encodeWithCoder(platform::KeyedArchiver& coder) const {
  if (!head_.isNil()) coder.encodeValue(head_, "head");
}

bool RFUnarySequence::initWithCoder(platform::KeyedUnarchiver& coder) {
  head_ = coder.decodeValue("head");
  return true;
}

std::string RFUnarySequence::description() const {
  return platform::format("<%s: %p>{ name = %s, head = %@ }", objectClass().name(), static_cast<const void*>(this),
                          name(), head_);
}

// --- RFArraySequence, RFEagerSequence -------------------------------------------------------------

template <class T>
RFSequencePtr RFArraySequence::makeNodeOf(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset) {
  if (offset >= array->size()) return RFSequence::empty();
  auto sequence = platform::make<T>();
  sequence->backing_ = std::move(array);
  sequence->offset_ = offset;
  return sequence;
}

RFSequencePtr RFArraySequence::makeNode(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset) const {
  return makeNodeOf<RFArraySequence>(std::move(array), offset);
}

RFSequencePtr RFArraySequence::sequenceWithArray(platform::ValueArray array, std::uint64_t offset) {
  return makeNodeOf<RFArraySequence>(std::make_shared<const platform::ValueArray>(std::move(array)), offset);
}

platform::Value RFArraySequence::head() const {
  if (!backing_ || offset_ >= backing_->size()) return {};
  return (*backing_)[offset_];
}

RFSequencePtr RFArraySequence::tail() const {
  if (!backing_) return nullptr;
  RFSequencePtr next = makeNode(backing_, offset_ + 1);
  if (next.get() != RFSequence::empty().get()) inheritName(next, *this);
  return next;
}

platform::ValueArray RFArraySequence::array() const {
  if (!backing_ || offset_ >= backing_->size()) return {};
  return platform::ValueArray(backing_->begin() + static_cast<std::ptrdiff_t>(offset_), backing_->end());
}

void RFArraySequence::enumerate(const EnumerationBlock& block) const {
  if (!backing_) return;
  bool stop = false;
  for (std::size_t i = offset_; i < backing_->size() && !stop; ++i) block((*backing_)[i], stop);
}

void RFArraySequence::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeValue(platform::Value(array()), "array");
}

bool RFArraySequence::initWithCoder(platform::KeyedUnarchiver& coder) {
  platform::Value array = coder.decodeValue("array");
  if (!array.isArray()) return false;
  backing_ = std::make_shared<const platform::ValueArray>(array.asArray());
  offset_ = 0;
  return true;
}

std::string RFArraySequence::description() const {
  platform::Value whole(backing_ ? *backing_ : platform::ValueArray());
  return platform::format("<%s: %p>{ name = %s, array = %@ }", objectClass().name(), static_cast<const void*>(this),
                          name(), whole);
}

RFSequencePtr RFEagerSequence::sequenceWithArray(platform::ValueArray array, std::uint64_t offset) {
  return makeNodeOf<RFEagerSequence>(std::make_shared<const platform::ValueArray>(std::move(array)), offset);
}

RFSequencePtr RFEagerSequence::returnValue(platform::Value value) { return sequenceWithArray({std::move(value)}); }

RFSequencePtr RFEagerSequence::makeNode(std::shared_ptr<const platform::ValueArray> array, std::uint64_t offset) const {
  return makeNodeOf<RFEagerSequence>(std::move(array), offset);
}

RFSequencePtr RFEagerSequence::bind(RFStreamBindBlockFactory block) {
  RFStreamBindBlock bindBlock = block();
  platform::ValueArray values;
  for (const platform::Value& value : array()) {
    bool stop = false;
    RFSequencePtr sequence = sequenceOfStep(bindBlock(value, stop));
    if (!sequence) break;
    sequence->enumerate([&values](const platform::Value& v, bool&) { values.push_back(v); });
    if (stop) break;
  }
  RFSequencePtr result = sequenceWithArray(std::move(values));
  result->setNameWithFormat("[%@] -bind:", name());
  return result;
}

RFSequencePtr RFEagerSequence::concat(const RFSequencePtr& sequence) {
  platform::ValueArray values = array();
  if (sequence) {
    platform::ValueArray more = sequence->array();
    values.insert(values.end(), more.begin(), more.end());
  }
  RFSequencePtr result = sequenceWithArray(std::move(values));
  result->setNameWithFormat("[%@] -concat: %@", name(), sequence);
  return result;
}

platform::Value RFEagerSequence::foldRightWithStart(
    platform::Value start,
    std::function<platform::Value(const platform::Value& value, const RFSequencePtr& rest)> reduce) const {
  platform::Value first = head();
  if (first.isNil()) return start;
  RFSequencePtr rest = foldRest(tail(), std::move(start), reduce)->eagerSequence();
  return reduce(first, rest);
}

RFSequencePtr RFEagerSequence::lazySequence() const { return RFArraySequence::sequenceWithArray(array()); }

// --- RFStringSequence -----------------------------------------------------------------------------

RFSequencePtr RFStringSequence::sequenceWithString(std::string string, std::uint64_t offset) {
  std::size_t byteOffset = platform::utf8OffsetForUtf16Index(string, offset);
  if (byteOffset >= string.size()) return RFSequence::empty();
  auto sequence = platform::make<RFStringSequence>();
  sequence->secondUnit_ = platform::utf16IndexForUtf8Offset(string, byteOffset) != offset;
  sequence->byteOffset_ = byteOffset;
  sequence->string_ = std::make_shared<const std::string>(std::move(string));
  return sequence;
}

namespace {
constexpr char32_t kReplacementCharacter = 0xFFFD;
}

platform::Value RFStringSequence::head() const {
  std::size_t position = byteOffset_;
  char32_t codePoint = platform::decodeUtf8(*string_, position);
  std::string text;
  platform::appendUtf8(text, codePoint > 0xFFFF ? kReplacementCharacter : codePoint);
  return platform::Value(std::move(text));
}

RFSequencePtr RFStringSequence::tail() const {
  std::size_t position = byteOffset_;
  char32_t codePoint = platform::decodeUtf8(*string_, position);
  auto next = platform::make<RFStringSequence>();
  next->string_ = string_;
  if (codePoint > 0xFFFF && !secondUnit_) {
    next->byteOffset_ = byteOffset_;
    next->secondUnit_ = true;
  } else {
    if (position >= string_->size()) return RFSequence::empty();
    next->byteOffset_ = position;
  }
  inheritName(next, *this);
  return next;
}

platform::ValueArray RFStringSequence::array() const {
  platform::ValueArray characters;
  std::string_view rest(*string_);
  rest.remove_prefix(byteOffset_);
  if (secondUnit_) {
    // The head is the second half of a surrogate pair: one element of its own.
    std::size_t position = 0;
    platform::decodeUtf8(rest, position);
    std::string text;
    platform::appendUtf8(text, kReplacementCharacter);
    characters.emplace_back(std::move(text));
    rest.remove_prefix(position);
  }
  std::size_t length = platform::utf16Length(rest);
  for (std::size_t index = 0; index < length;) {
    platform::Range range = platform::rangeOfComposedCharacterSequenceAtIndex(rest, index);
    if (range.length == 0) break;
    characters.emplace_back(platform::substringWithUtf16Range(rest, range));
    index = range.end();
  }
  return characters;
}

std::string RFStringSequence::description() const {
  std::string rest = string_->substr(byteOffset_);
  return platform::format("<%s: %p>{ name = %s, string = %s }", objectClass().name(), static_cast<const void*>(this),
                          name(), rest);
}

// --- RFIndexSetSequence ---------------------------------------------------------------------------

RFSequencePtr RFIndexSetSequence::sequenceWithIndexSet(const platform::IndexSet& indexes) {
  if (indexes.empty()) return RFSequence::empty();
  std::vector<std::uint64_t> sorted(indexes.begin(), indexes.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  auto sequence = platform::make<RFIndexSetSequence>();
  sequence->count_ = sorted.size();
  sequence->data_ = std::make_shared<const std::vector<std::uint64_t>>(std::move(sorted));
  return sequence;
}

RFSequencePtr RFIndexSetSequence::sequenceWithIndexSetSequence(
    const std::shared_ptr<const RFIndexSetSequence>& sequence, std::uint64_t offset) {
  if (!sequence || offset >= sequence->count_) return RFSequence::empty();
  auto next = platform::make<RFIndexSetSequence>();
  next->data_ = sequence->data_;
  next->start_ = sequence->start_ + offset;
  next->count_ = sequence->count_ - offset;
  return next;
}

platform::Value RFIndexSetSequence::head() const { return platform::Value((*data_)[start_]); }

RFSequencePtr RFIndexSetSequence::tail() const {
  return sequenceWithIndexSetSequence(std::static_pointer_cast<const RFIndexSetSequence>(shared_from_this()), 1);
}

platform::ValueArray RFIndexSetSequence::array() const {
  platform::ValueArray values;
  values.reserve(count_);
  for (std::uint64_t i = 0; i < count_; ++i) values.emplace_back((*data_)[start_ + i]);
  return values;
}

void RFIndexSetSequence::enumerate(const EnumerationBlock& block) const {
  bool stop = false;
  for (std::uint64_t i = 0; i < count_ && !stop; ++i) block(platform::Value((*data_)[start_ + i]), stop);
}

std::string RFIndexSetSequence::description() const {
  std::string indexes;
  for (std::uint64_t i = 0; i < count_; ++i) {
    if (i) indexes += ", ";
    indexes += std::to_string((*data_)[start_ + i]);
  }
  return platform::format("<%s: %p>{ name = %s, indexes = %s }", objectClass().name(), static_cast<const void*>(this),
                          name(), indexes);
}

// --- RFTupleSequence ------------------------------------------------------------------------------

namespace {
platform::Value tupleElement(const platform::Value& stored) {
  return RFTupleNil::isTupleNil(stored) ? platform::Value::null() : stored;
}
}  // namespace

RFSequencePtr RFTupleSequence::sequenceWithTuple(RFTuplePtr tuple, std::uint64_t offset) {
  if (!tuple || offset >= tuple->count()) return RFSequence::empty();
  auto sequence = platform::make<RFTupleSequence>();
  sequence->tuple_ = std::move(tuple);
  sequence->offset_ = offset;
  return sequence;
}

platform::Value RFTupleSequence::head() const { return tupleElement(tuple_->backingArray()[offset_]); }

RFSequencePtr RFTupleSequence::tail() const {
  RFSequencePtr next = sequenceWithTuple(tuple_, offset_ + 1);
  if (next.get() != RFSequence::empty().get()) inheritName(next, *this);
  return next;
}

platform::ValueArray RFTupleSequence::array() const {
  platform::ValueArray values;
  enumerate([&values](const platform::Value& value, bool&) { values.push_back(value); });
  return values;
}

void RFTupleSequence::enumerate(const EnumerationBlock& block) const {
  const platform::ValueArray& stored = tuple_->backingArray();
  bool stop = false;
  for (std::size_t i = offset_; i < stored.size() && !stop; ++i) block(tupleElement(stored[i]), stop);
}

std::string RFTupleSequence::description() const {
  platform::ValueArray all;
  for (const platform::Value& stored : tuple_->backingArray()) all.push_back(tupleElement(stored));
  return platform::format("<%s: %p>{ name = %s, tuple = %@ }", objectClass().name(), static_cast<const void*>(this),
                          name(), platform::Value(std::move(all)));
}

// --- RFSignalSequence -----------------------------------------------------------------------------

RFSequencePtr RFSignalSequence::sequenceWithSignal(const RFSignalPtr& signal) {
  auto sequence = platform::make<RFSignalSequence>();
  sequence->subject_ = RFReplaySubject::subject();
  // Subscribed for as long as the signal runs; the subject keeps what it sends.
  if (signal)
    signal->subscribe(sequence->subject_);
  else
    sequence->subject_->sendCompleted();
  return sequence;
}

platform::Value RFSignalSequence::head() const {
  // The sequence itself stands for "no value before the end".
  platform::Value marker(selfSequence());
  platform::Value value = subject_->firstOrDefault(marker);
  if (value.isObject() && value.asObject().get() == this) return {};
  return value.isNil() ? platform::Value::null() : value;
}

RFSequencePtr RFSignalSequence::tail() const {
  RFSequencePtr next = sequenceWithSignal(subject_->skip(1));
  inheritName(next, *this);
  return next;
}

platform::ValueArray RFSignalSequence::array() const {
  // A failure ends the values where it happens.
  std::optional<platform::ValueArray> values = subject_->catchTo(RFSignal::empty())->toArray();
  return values ? std::move(*values) : platform::ValueArray();
}

std::string RFSignalSequence::description() const {
  auto received = std::make_shared<std::pair<platform::Mutex, platform::ValueArray>>();
  RFDisposablePtr subscription = subject_->subscribeNext([received](const platform::Value& value) {
    platform::MutexLock lock(received->first);
    received->second.push_back(value.isNil() ? platform::Value::null() : value);
  });
  if (subscription) subscription->dispose();
  platform::Value values;
  {
    platform::MutexLock lock(received->first);
    values = platform::Value(received->second);
  }
  return platform::format("<%s: %p>{ name = %s, values = %@ \u2026 }", objectClass().name(),
                          static_cast<const void*>(this), name(), values);
}

std::shared_ptr<RFSequence> RFSignal::sequence() {
  RFSequencePtr result = RFSignalSequence::sequenceWithSignal(selfSignal());
  result->setNameWithFormat("[%@] -sequence", name());
  return result;
}

// --- RFSequenceEnumerator -------------------------------------------------------------------------

RFSequenceEnumeratorPtr RFSequenceEnumerator::enumeratorWithSequence(RFSequencePtr sequence) {
  auto enumerator = platform::make<RFSequenceEnumerator>();
  platform::MutexLock lock(enumerator->lock_);
  enumerator->sequence_ = std::move(sequence);
  return enumerator;
}

platform::Value RFSequenceEnumerator::nextObject() {
  platform::MutexLock lock(lock_);
  if (!sequence_) return {};
  platform::Value value = sequence_->head();
  sequence_ = value.isNil() ? nullptr : sequence_->tail();
  return value;
}

platform::ValueArray RFSequenceEnumerator::allObjects() {
  platform::ValueArray values;
  for (platform::Value value = nextObject(); !value.isNil(); value = nextObject()) values.push_back(std::move(value));
  return values;
}

// --- Collections as sequences ---------------------------------------------------------------------

RFSequencePtr rf_sequence(const platform::ValueArray& array) { return RFArraySequence::sequenceWithArray(array); }

RFSequencePtr rf_sequence(const platform::IndexSet& indexes) {
  return RFIndexSetSequence::sequenceWithIndexSet(indexes);
}

RFSequencePtr rf_sequence(const RFTuplePtr& tuple) { return RFTupleSequence::sequenceWithTuple(tuple); }

RFSequencePtr rf_keySequence(const platform::ValueDictionary& dictionary) {
  platform::ValueArray keys;
  for (const auto& [key, value] : dictionary) keys.emplace_back(key);
  return rf_sequence(keys);
}

RFSequencePtr rf_valueSequence(const platform::ValueDictionary& dictionary) {
  platform::ValueArray values;
  for (const auto& [key, value] : dictionary) values.push_back(value);
  return rf_sequence(values);
}

RFSequencePtr rf_sequence(const platform::Value& collection) {
  switch (collection.type()) {
    case platform::Value::Type::Nil:
      return RFSequence::empty();
    case platform::Value::Type::Array:
      return rf_sequence(collection.asArray());
    case platform::Value::Type::Set: {
      const platform::ValueSet& set = collection.asSet();
      return rf_sequence(platform::ValueArray(set.begin(), set.end()));
    }
    case platform::Value::Type::Dictionary: {
      // A copy taken now: later changes to the caller's dictionary are not seen.
      auto copy = std::make_shared<const platform::ValueDictionary>(collection.asDictionary());
      return rf_keySequence(*copy)->map([copy](const platform::Value& key) {
        const platform::Value* value = copy->find(key.asString());
        return platform::Value(RFTuple::tupleWithValues({key, value ? *value : platform::Value()}));
      });
    }
    case platform::Value::Type::String:
      return RFStringSequence::sequenceWithString(collection.asString());
    default:
      return nullptr;
  }
}

namespace {
RFSequencePtr enumeratorSequence(std::shared_ptr<const std::function<platform::Value()>> nextObject) {
  return RFSequence::sequenceWithHeadBlock([nextObject] { return (*nextObject)(); },
                                           [nextObject] { return enumeratorSequence(nextObject); });
}
}  // namespace

RFSequencePtr rf_sequenceWithEnumerator(std::function<platform::Value()> nextObject) {
  return enumeratorSequence(std::make_shared<const std::function<platform::Value()>>(std::move(nextObject)));
}

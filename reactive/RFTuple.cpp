#include "reactive/RFTuple.h"

#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/error.h"
#include "reactive/RFDescription.h"

// --- RFTupleNil ----------------------------------------------------------------------------------

const std::shared_ptr<RFTupleNil>& RFTupleNil::tupleNil() {
  static const std::shared_ptr<RFTupleNil> marker = platform::make<RFTupleNil>();
  return marker;
}

const platform::Value& RFTupleNil::tupleNilValue() {
  static const platform::Value value(tupleNil());
  return value;
}

bool RFTupleNil::isTupleNil(const platform::Value& value) {
  return value.isObject() && value.asObject().get() == tupleNil().get();
}

const platform::Class& RFTupleNil::staticClass() {
  // Making an instance by name (as unarchiving does) gives the shared marker.
  static const platform::Class* cls = new platform::Class("RFTupleNil", &platform::Object::staticClass(),
                                                          [] { return platform::ObjectPtr(tupleNil()); });
  return *cls;
}

namespace {
[[maybe_unused]] const platform::Class& gTupleNilRegistration = RFTupleNil::staticClass();
}

const platform::Class& RFTupleNil::objectClass() const { return staticClass(); }

platform::ObjectPtr RFTupleNil::copy() const { return tupleNil(); }

void RFTupleNil::encodeWithCoder(platform::KeyedArchiver&) const {}

bool RFTupleNil::initWithCoder(platform::KeyedUnarchiver&) { return true; }

// --- RFTuple -------------------------------------------------------------------------------------

RFTuplePtr RFTuple::tupleWithObjectsFromArray(const platform::ValueArray& array, bool convertNullsToNils) {
  platform::ValueArray backing;
  backing.reserve(array.size());
  for (const platform::Value& v : array) {
    if (v.isNil() || (convertNullsToNils && v.isNull()))
      backing.push_back(RFTupleNil::tupleNilValue());
    else
      backing.push_back(v);
  }
  return platform::make<RFTuple>(std::move(backing));
}

RFTuplePtr RFTuple::tupleWithObjects(std::initializer_list<platform::Value> values) {
  platform::ValueArray backing;
  for (const platform::Value& v : values) {
    if (v.isNil()) break;
    backing.push_back(v);
  }
  return platform::make<RFTuple>(std::move(backing));
}

RFTuplePtr RFTuple::tupleWithValues(std::vector<platform::Value> values) {
  for (platform::Value& v : values)
    if (v.isNil()) v = RFTupleNil::tupleNilValue();
  return platform::make<RFTuple>(std::move(values));
}

platform::Value RFTuple::objectAtIndex(std::size_t index) const {
  if (index >= backing_.size()) return {};
  const platform::Value& v = backing_[index];
  return RFTupleNil::isTupleNil(v) ? platform::Value() : v;
}

platform::ValueArray RFTuple::allObjects() const {
  platform::ValueArray out;
  out.reserve(backing_.size());
  for (const platform::Value& v : backing_) out.push_back(RFTupleNil::isTupleNil(v) ? platform::Value::null() : v);
  return out;
}

RFTuplePtr RFTuple::tupleByAddingObject(const platform::Value& value) const {
  platform::ValueArray backing = backing_;
  backing.push_back(value.isNil() ? RFTupleNil::tupleNilValue() : value);
  return platform::make<RFTuple>(std::move(backing));
}

platform::ObjectPtr RFTuple::copy() const { return std::const_pointer_cast<platform::Object>(shared_from_this()); }

bool RFTuple::isEqual(const platform::Object& other) const {
  if (&other == this) return true;
  if (!other.isKindOf(objectClass())) return false;
  auto* tuple = dynamic_cast<const RFTuple*>(&other);
  return tuple && tuple->backing_ == backing_;
}

std::size_t RFTuple::hash() const { return platform::Value(backing_).hash(); }

std::string RFTuple::description() const {
  return platform::format("<%s: %p> %@", objectClass().name(), static_cast<const void*>(this),
                          platform::Value(allObjects()));
}

void RFTuple::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeValue(platform::Value(backing_), "backingArray");
}

bool RFTuple::initWithCoder(platform::KeyedUnarchiver& coder) {
  platform::Value array = coder.decodeValue("backingArray");
  if (!array.isNil() && !array.isArray()) return false;
  backing_ = array.asArray();
  return true;
}

// --- Trampolines ---------------------------------------------------------------------------------

RFTupleUnpackingTrampoline& RFTupleUnpackingTrampoline::trampoline() {
  static RFTupleUnpackingTrampoline shared;
  return shared;
}

void RFTupleUnpackingTrampoline::setObject(const RFTuplePtr& tuple,
                                           std::initializer_list<platform::Value*> variables) const {
  std::size_t i = 0;
  for (platform::Value* variable : variables) {
    if (variable) *variable = tuple ? tuple->objectAtIndex(i) : platform::Value();
    ++i;
  }
}

platform::Value RFBlockTrampoline::invokeWithArguments(const RFTuplePtr& arguments) const {
  std::size_t count = arguments ? arguments->count() : 0;
  if (count == 0 || count > kMaxArguments)
    platform::Exception::raiseFormat(platform::kInvalidArgumentException,
                                     "RFBlockTrampoline: a tuple of %zu values cannot be passed to a block", count);
  platform::Value args[kMaxArguments];
  for (std::size_t i = 0; i < count && i < arity_; ++i) args[i] = arguments->objectAtIndex(i);
  return invoke_(args);
}

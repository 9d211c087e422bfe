#include "platform/codecs/keyed_archiver.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "platform/codecs/keyed_archive_internal.h"
#include "platform/system/text.h"

namespace platform {

// --- AllowedClasses ---

AllowedClasses::AllowedClasses(std::initializer_list<const Class*> classes, std::initializer_list<Value::Type> kinds) {
  for (const Class* c : classes)
    if (c) classes_.push_back(c);
  for (Value::Type k : kinds) addKind(k);
}

AllowedClasses AllowedClasses::plainValues() {
  AllowedClasses a;
  for (Value::Type k : {Value::Type::Null, Value::Type::Bool, Value::Type::Int, Value::Type::UInt, Value::Type::Double,
                        Value::Type::String, Value::Type::Data, Value::Type::Date, Value::Type::Array,
                        Value::Type::Dictionary, Value::Type::Set})
    a.addKind(k);
  return a;
}

AllowedClasses& AllowedClasses::addClass(const Class& cls) {
  classes_.push_back(&cls);
  return *this;
}

AllowedClasses& AllowedClasses::addKind(Value::Type kind) {
  // Objects are admitted by class only.
  if (kind != Value::Type::Object) kinds_ |= 1u << static_cast<unsigned>(kind);
  return *this;
}

AllowedClasses& AllowedClasses::addNumbers() {
  return addKind(Value::Type::Bool).addKind(Value::Type::Int).addKind(Value::Type::UInt).addKind(Value::Type::Double);
}

bool AllowedClasses::allowsClass(const Class& cls) const {
  for (const Class* c : classes_)
    if (cls.isSubclassOf(*c)) return true;
  return false;
}

std::size_t detail::appendUtf16BE(std::string& out, std::string_view utf8) {
  std::size_t units = 0;
  auto put = [&](char32_t unit) {
    out.push_back(static_cast<char>(unit >> 8));
    out.push_back(static_cast<char>(unit & 0xFF));
    ++units;
  };
  for (std::size_t pos = 0; pos < utf8.size();) {
    char32_t c = decodeUtf8(utf8, pos);
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return units;
}

// --- KeyedArchiver ---
//
// Objects of the property list are collected first (scalars as their final bytes, containers as
// lists of object numbers) and laid out by encodedData(), once the number of objects, and so the
// width of a reference, is known. Children are always collected before their container.

namespace {

constexpr std::uint8_t kMarkerFalse = 0x08, kMarkerTrue = 0x09, kMarkerInt = 0x10, kMarkerReal = 0x20,
                       kMarkerDate = 0x33, kMarkerData = 0x40, kMarkerAscii = 0x50, kMarkerUtf16 = 0x60,
                       kMarkerUid = 0x80, kMarkerArray = 0xA0, kMarkerDict = 0xD0;

[[noreturn]] void raiseUnusable() {
  Exception::raise(kInvalidArchiveOperationException, "The archiver was already finished or failed");
}

std::uint64_t hashBytes(const char* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (std::size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

void appendBE(std::string& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void appendBE(Bytes& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

// The marker with a count: in its low nibble, or 0xF followed by an integer object.
template <class Out>
void appendMarkerCount(Out& out, std::uint8_t marker, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<typename Out::value_type>(marker | count));
    return;
  }
  out.push_back(static_cast<typename Out::value_type>(marker | 0x0F));
  if (count < 0x100)
    out.push_back(static_cast<typename Out::value_type>(kMarkerInt | 0)), appendBE(out, count, 1);
  else if (count < 0x10000)
    out.push_back(static_cast<typename Out::value_type>(kMarkerInt | 1)), appendBE(out, count, 2);
  else if (count < 0x100000000ull)
    out.push_back(static_cast<typename Out::value_type>(kMarkerInt | 2)), appendBE(out, count, 4);
  else
    out.push_back(static_cast<typename Out::value_type>(kMarkerInt | 3)), appendBE(out, count, 8);
}

int widthFor(std::uint64_t maxValue) {
  if (maxValue < 0x100) return 1;
  if (maxValue < 0x10000) return 2;
  if (maxValue < 0x100000000ull) return 4;
  return 8;
}

}  // namespace

struct KeyedArchiver::Impl {
  enum class Kind : std::uint8_t { Scalar, Array, Dict, Uid };
  struct Node {
    Kind kind;
    std::uint32_t a;  // Scalar: offset in scalars; Array/Dict: first entry in refs; Uid: slot
    std::uint32_t b;  // Scalar: length; Array: count; Dict: entries (keys, then as many values)
  };
  struct Result {
    std::uint32_t node;
    int height;
  };
  struct Slot {
    ObjectPtr object;       // held so that its address cannot be reused during the archive
    std::int64_t position;  // in $objects, or -1 while only conditionally referenced
    std::uint32_t uidNode;
    std::uint32_t entryNode;
    int height;  // -1 while being encoded
  };
  struct Frame {
    std::size_t start;  // first key/value pair of this frame in `stack`
    int maxChildHeight;
  };

  std::string scalars;
  std::vector<Node> nodes;
  std::vector<std::uint32_t> refs;
  std::vector<std::uint32_t> stack;
  std::vector<std::uint32_t> dedupe;  // open addressing: node + 1, 0 empty
  std::size_t dedupeCount = 0;
  std::vector<Slot> slots;
  std::unordered_map<const Object*, std::uint32_t> slotIndex;  // used once slots grow past a few
  std::vector<std::uint32_t> positions;                        // $objects order -> slot
  std::vector<Frame> frames{Frame{0, 0}};
  int depth = 0;
  bool unusable = false;

  // --- scalars ---

  // Ends the scalar that starts at `start` in `scalars`: reuses an identical earlier one.
  std::uint32_t finishScalar(std::size_t start) {
    const char* p = scalars.data() + start;
    std::size_t len = scalars.size() - start;
    if (dedupe.empty()) dedupe.assign(64, 0);
    std::size_t mask = dedupe.size() - 1;
    std::size_t i = hashBytes(p, len) & mask;
    while (std::uint32_t e = dedupe[i]) {
      const Node& n = nodes[e - 1];
      if (n.b == len && std::memcmp(scalars.data() + n.a, p, len) == 0) {
        scalars.resize(start);
        return e - 1;
      }
      i = (i + 1) & mask;
    }
    std::uint32_t id = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back({Kind::Scalar, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(len)});
    dedupe[i] = id + 1;
    if (++dedupeCount * 2 > dedupe.size()) growDedupe();
    return id;
  }

  void growDedupe() {
    std::vector<std::uint32_t> bigger(dedupe.size() * 2, 0);
    std::size_t mask = bigger.size() - 1;
    for (std::uint32_t e : dedupe) {
      if (!e) continue;
      const Node& n = nodes[e - 1];
      std::size_t i = hashBytes(scalars.data() + n.a, n.b) & mask;
      while (bigger[i]) i = (i + 1) & mask;
      bigger[i] = e;
    }
    dedupe.swap(bigger);
  }

  std::uint32_t boolNode(bool v) {
    std::size_t start = scalars.size();
    scalars.push_back(static_cast<char>(v ? kMarkerTrue : kMarkerFalse));
    return finishScalar(start);
  }

  std::uint32_t intNode(std::int64_t v) {
    std::size_t start = scalars.size();
    if (v >= 0 && v < 0x100000000ll) {
      int w = widthFor(static_cast<std::uint64_t>(v));
      scalars.push_back(static_cast<char>(kMarkerInt | std::countr_zero(static_cast<unsigned>(w))));
      appendBE(scalars, static_cast<std::uint64_t>(v), w);
    } else {
      scalars.push_back(static_cast<char>(kMarkerInt | 3));
      appendBE(scalars, static_cast<std::uint64_t>(v), 8);
    }
    return finishScalar(start);
  }

  std::uint32_t uintNode(std::uint64_t v) {
    std::size_t start = scalars.size();
    scalars.push_back(static_cast<char>(kMarkerInt | 4));
    appendBE(scalars, 0, 8);
    appendBE(scalars, v, 8);
    return finishScalar(start);
  }

  std::uint32_t realNode(std::uint8_t marker, double v) {
    std::size_t start = scalars.size();
    scalars.push_back(static_cast<char>(marker));
    appendBE(scalars, std::bit_cast<std::uint64_t>(v), 8);
    return finishScalar(start);
  }

  std::uint32_t dataNode(std::span<const std::uint8_t> d) {
    std::size_t start = scalars.size();
    appendMarkerCount(scalars, kMarkerData, d.size());
    scalars.append(reinterpret_cast<const char*>(d.data()), d.size());
    return finishScalar(start);
  }

  // A string, with one extra '$' in front when `dollar` is set.
  std::uint32_t stringNode(std::string_view s, bool dollar = false) {
    std::size_t start = scalars.size();
    bool ascii = true;
    for (char c : s)
      if (static_cast<unsigned char>(c) >= 0x80) {
        ascii = false;
        break;
      }
    if (ascii) {
      appendMarkerCount(scalars, kMarkerAscii, s.size() + (dollar ? 1 : 0));
      if (dollar) scalars.push_back('$');
      scalars.append(s);
    } else {
      // The unit count comes first; write the units to the end, then move them behind the marker.
      std::size_t unitsStart = scalars.size();
      std::size_t units = 0;
      if (dollar) scalars.append("\0$", 2), units = 1;
      units += detail::appendUtf16BE(scalars, s);
      std::string body = scalars.substr(unitsStart);
      scalars.resize(start);
      appendMarkerCount(scalars, kMarkerUtf16, units);
      scalars += body;
    }
    return finishScalar(start);
  }

  std::uint32_t keyNode(std::string_view key) { return stringNode(key, !key.empty() && key[0] == '$'); }

  // --- containers ---

  std::uint32_t containerNode(Kind kind, std::size_t stackStart, std::uint32_t count) {
    std::uint32_t first = static_cast<std::uint32_t>(refs.size());
    if (kind == Kind::Dict) {
      // The stack holds key, value, key, value...; the dictionary wants all keys, then all values.
      for (std::size_t i = stackStart; i < stack.size(); i += 2) refs.push_back(stack[i]);
      for (std::size_t i = stackStart + 1; i < stack.size(); i += 2) refs.push_back(stack[i]);
    } else {
      refs.insert(refs.end(), stack.begin() + static_cast<std::ptrdiff_t>(stackStart), stack.end());
    }
    stack.resize(stackStart);
    std::uint32_t id = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back({kind, first, count});
    return id;
  }

  std::uint32_t nilNode() {
    std::size_t start = scalars.size();
    scalars.push_back(static_cast<char>(kMarkerUid));
    scalars.push_back(0);
    return finishScalar(start);
  }

  // A dictionary of one internal key (no escaping) and a value.
  std::uint32_t taggedNode(std::string_view tag, std::uint32_t value) {
    std::size_t start = stack.size();
    stack.push_back(stringNode(tag));
    stack.push_back(value);
    return containerNode(Kind::Dict, start, 1);
  }

  void enter() {
    if (++depth > kMaxArchiveNesting) {
      --depth;
      Exception::raise(kInvalidArgumentException,
                       "Cannot archive values nested more than " + std::to_string(kMaxArchiveNesting) + " deep");
    }
  }

  Result encode(const Value& v) {
    switch (v.type()) {
      case Value::Type::Nil:
        return {nilNode(), 0};
      case Value::Type::Null:
        return {taggedNode("$null", boolNode(true)), 1};
      case Value::Type::Bool:
        return {boolNode(v.asBool()), 0};
      case Value::Type::Int:
        return {intNode(v.asInt64()), 0};
      case Value::Type::UInt:
        return {uintNode(v.asUInt64()), 0};
      case Value::Type::Double:
        return {realNode(kMarkerReal | 3, v.asDouble()), 0};
      case Value::Type::String:
        return {stringNode(v.asString()), 0};
      case Value::Type::Data:
        return {dataNode(v.asData()), 0};
      case Value::Type::Date:
        return {realNode(kMarkerDate, v.asDate().timeIntervalSinceReferenceDate()), 0};
      case Value::Type::Object:
        return object(v.asObject(), false);
      case Value::Type::Array:
      case Value::Type::Set: {
        enter();
        std::size_t start = stack.size();
        int h = 0;
        auto add = [&](const Value& e) {
          Result r = encode(e);
          h = std::max(h, r.height);
          stack.push_back(r.node);
        };
        if (v.isArray())
          for (const Value& e : v.asArray()) add(e);
        else
          for (const Value& e : v.asSet()) add(e);
        std::uint32_t n = containerNode(Kind::Array, start, static_cast<std::uint32_t>(stack.size() - start));
        --depth;
        if (v.isSet()) return checked({taggedNode("$set", n), h + 2});
        return checked({n, h + 1});
      }
      case Value::Type::Dictionary: {
        enter();
        const ValueDictionary& d = v.asDictionary();
        std::size_t start = stack.size();
        int h = 0;
        for (const auto& [key, value] : d) {
          Result r = encode(value);
          h = std::max(h, r.height);
          stack.push_back(stringNode(key));
          stack.push_back(r.node);
        }
        std::uint32_t n = containerNode(Kind::Dict, start, static_cast<std::uint32_t>(d.size()));
        --depth;
        if (d.size() == 1 && !d.begin()->first.empty() && d.begin()->first[0] == '$')
          return checked({taggedNode("$dict", n), h + 2});
        return checked({n, h + 1});
      }
    }
    return {nilNode(), 0};
  }

  Result checked(Result r) {
    if (r.height > kMaxArchiveNesting)
      Exception::raise(kInvalidArgumentException,
                       "Cannot archive values nested more than " + std::to_string(kMaxArchiveNesting) + " deep");
    return r;
  }

  // A few objects are searched directly; past that, through an index of all of them.
  std::uint32_t findSlot(const Object* o) {
    if (slotIndex.empty()) {
      for (std::uint32_t i = 0; i < slots.size(); ++i)
        if (slots[i].object.get() == o) return i;
      return UINT32_MAX;
    }
    auto it = slotIndex.find(o);
    return it == slotIndex.end() ? UINT32_MAX : it->second;
  }

  std::uint32_t newSlot(const ObjectPtr& o) {
    std::uint32_t s = static_cast<std::uint32_t>(slots.size());
    // A UID whose number is known only at layout time.
    std::uint32_t uid = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back({Kind::Uid, s, 0});
    slots.push_back({o, -1, uid, 0, 0});
    if (!slotIndex.empty()) {
      slotIndex.emplace(o.get(), s);
    } else if (slots.size() > 8) {
      for (std::uint32_t i = 0; i < slots.size(); ++i) slotIndex.emplace(slots[i].object.get(), i);
    }
    return s;
  }

  Result object(const ObjectPtr& o, bool conditional) {
    if (!o) return {nilNode(), 0};
    std::uint32_t s = findSlot(o.get());
    if (s == UINT32_MAX) s = newSlot(o);
    Slot& slot = slots[s];
    if (conditional || slot.position >= 0) return {slot.uidNode, slot.height < 0 ? 0 : slot.height};
    if (!o->supportsCoding())
      Exception::raise(kInvalidArgumentException,
                       "Cannot archive an object of class " + o->objectClass().name() + ": it does not support coding");
    enter();
    slot.position = static_cast<std::int64_t>(positions.size());
    slot.height = -1;
    positions.push_back(s);
    frames.push_back({stack.size(), 0});
    o->encodeWithCoder(*owner);
    Frame f = frames.back();
    frames.pop_back();
    // Class name first; the object's pairs follow on the stack.
    std::uint32_t classKey = stringNode("$c");
    std::uint32_t className = stringNode(o->classForCoder().name());
    stack.insert(stack.begin() + static_cast<std::ptrdiff_t>(f.start), {classKey, className});
    std::uint32_t count = static_cast<std::uint32_t>((stack.size() - f.start) / 2);
    std::uint32_t entry = containerNode(Kind::Dict, f.start, count);
    --depth;
    Slot& done = slots[s];  // `slots` may have grown
    done.entryNode = entry;
    done.height = f.maxChildHeight + 1;
    return checked({done.uidNode, done.height});
  }

  void put(std::string_view key, Result value) { putNode(keyNode(key), value); }

  void putNode(std::uint32_t k, Result value) {
    Frame& f = frames.back();
    f.maxChildHeight = std::max(f.maxChildHeight, value.height);
    for (std::size_t i = f.start; i < stack.size(); i += 2)
      if (stack[i] == k) {
        stack[i + 1] = value.node;
        return;
      }
    stack.push_back(k);
    stack.push_back(value.node);
  }

  Bytes layout();

  // Readies a used Impl for the next archive on this thread, keeping its buffers; false when it
  // grew too big to keep.
  bool recycle() {
    if (scalars.capacity() > (1u << 20) || nodes.capacity() > (1u << 16) || refs.capacity() > (1u << 16) ||
        dedupe.size() > 4096)
      return false;
    scalars.clear();
    nodes.clear();
    refs.clear();
    stack.clear();
    if (dedupeCount) std::fill(dedupe.begin(), dedupe.end(), 0);
    dedupeCount = 0;
    slots.clear();
    slotIndex.clear();
    positions.clear();
    offsets.clear();
    frames.assign(1, Frame{0, 0});
    depth = 0;
    unusable = false;
    return true;
  }

  std::vector<std::uint64_t> offsets;
  KeyedArchiver* owner = nullptr;
};

namespace {
// One Impl per thread kept between archives, so that a small archive allocates little more than
// its result.
thread_local std::unique_ptr<KeyedArchiver::Impl> spareArchiverImpl;
}  // namespace

Bytes KeyedArchiver::Impl::layout() {
  // Top dictionary: "$v", "$objects", then the top-level keys on the stack.
  std::size_t start = frames.front().start;
  std::size_t objectsStart = stack.size();
  for (std::uint32_t s : positions) stack.push_back(slots[s].entryNode);
  std::uint32_t objectsNode = containerNode(Kind::Array, objectsStart, static_cast<std::uint32_t>(positions.size()));
  std::uint32_t vKey = stringNode("$v"), vValue = intNode(1), oKey = stringNode("$objects");
  stack.insert(stack.begin() + static_cast<std::ptrdiff_t>(start), {vKey, vValue, oKey, objectsNode});
  std::uint32_t top = containerNode(Kind::Dict, start, static_cast<std::uint32_t>((stack.size() - start) / 2));

  const std::uint64_t count = nodes.size();
  const int refWidth = widthFor(count - 1);
  Bytes out;
  out.reserve(8 + scalars.size() + refs.size() * refWidth + nodes.size() * 5 + 40);
  static constexpr std::uint8_t kMagic[8] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  out.assign(kMagic, kMagic + 8);
  offsets.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    offsets[i] = out.size();
    const Node& n = nodes[i];
    switch (n.kind) {
      case Kind::Scalar:
        out.insert(out.end(), scalars.begin() + n.a, scalars.begin() + n.a + n.b);
        break;
      case Kind::Uid: {
        const Slot& s = slots[n.a];
        std::uint64_t uid = s.position >= 0 ? static_cast<std::uint64_t>(s.position) + 1 : 0;
        int w = widthFor(uid);
        out.push_back(static_cast<std::uint8_t>(kMarkerUid | (w - 1)));
        appendBE(out, uid, w);
        break;
      }
      case Kind::Array:
      case Kind::Dict: {
        appendMarkerCount(out, n.kind == Kind::Array ? kMarkerArray : kMarkerDict, n.b);
        std::size_t entries = n.kind == Kind::Array ? n.b : std::size_t{n.b} * 2;
        for (std::size_t j = 0; j < entries; ++j) appendBE(out, refs[n.a + j], refWidth);
        break;
      }
    }
  }
  const std::uint64_t tableOffset = out.size();
  const int offsetWidth = widthFor(tableOffset);
  for (std::uint64_t o : offsets) appendBE(out, o, offsetWidth);
  out.insert(out.end(), 6, 0);
  out.push_back(static_cast<std::uint8_t>(offsetWidth));
  out.push_back(static_cast<std::uint8_t>(refWidth));
  appendBE(out, count, 8);
  appendBE(out, top, 8);
  appendBE(out, tableOffset, 8);
  return out;
}

KeyedArchiver::KeyedArchiver(bool requiresSecureCoding)
    : impl_(spareArchiverImpl ? std::move(spareArchiverImpl) : std::make_unique<Impl>()),
      requiresSecureCoding_(requiresSecureCoding) {
  impl_->owner = this;
}

KeyedArchiver::~KeyedArchiver() {
  if (!spareArchiverImpl && impl_->recycle()) spareArchiverImpl = std::move(impl_);
}

namespace {
// Marks the archiver unusable when an exception leaves it half-way.
template <class F>
void guarded(KeyedArchiver::Impl& impl, F&& f) {
  if (impl.unusable) raiseUnusable();
  try {
    f();
  } catch (...) {
    impl.unusable = true;
    throw;
  }
}
}  // namespace

void KeyedArchiver::encodeValue(const Value& value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, impl_->encode(value)); });
}

void KeyedArchiver::encodeObject(const ObjectPtr& object, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, impl_->object(object, false)); });
}

void KeyedArchiver::encodeConditionalObject(const ObjectPtr& object, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, impl_->object(object, true)); });
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, {impl_->boolNode(value), 0}); });
}

void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, {impl_->intNode(value), 0}); });
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, {impl_->realNode(kMarkerReal | 3, value), 0}); });
}

void KeyedArchiver::encodeString(std::string_view value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, {impl_->stringNode(value), 0}); });
}

void KeyedArchiver::encodeData(std::span<const std::uint8_t> value, std::string_view key) {
  guarded(*impl_, [&] { impl_->put(key, {impl_->dataNode(value), 0}); });
}

Bytes KeyedArchiver::encodedData() {
  if (impl_->unusable || impl_->frames.size() != 1) raiseUnusable();
  impl_->unusable = true;
  return impl_->layout();
}

Bytes KeyedArchiver::archivedData(const Value& root, bool requiresSecureCoding) {
  KeyedArchiver archiver(requiresSecureCoding);
  Impl& impl = *archiver.impl_;
  guarded(impl, [&] { impl.putNode(impl.stringNode("$top"), impl.encode(root)); });
  return archiver.encodedData();
}

}  // namespace platform

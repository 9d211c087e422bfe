// The unarchiver half of keyed_archiver.h: reads the binary property list in place, checking
// every offset, count, reference and type against the input before using it.

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_set>

#include "platform/codecs/keyed_archive_internal.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/system/text.h"

namespace platform {

namespace {

constexpr int kMemoMinimumBytes = 64;  // shorter strings and data are cheap enough to rebuild

ErrorPtr readError(std::int64_t code, std::string detail) {
  return Error::make(std::string(kCocoaErrorDomain), code,
                     Value::dictionary({{std::string(kLocalizedDescriptionKey),
                                         "The data couldn’t be read because it isn’t in the correct format."},
                                        {std::string(kDebugDescriptionErrorKey), std::move(detail)}}));
}

std::uint64_t readBE(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

// UTF-16 big-endian units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf8FromUtf16BE(const std::uint8_t* p, std::uint64_t units) {
  std::string out;
  out.reserve(units);
  for (std::uint64_t i = 0; i < units; ++i) {
    std::uint32_t u = (std::uint32_t{p[2 * i]} << 8) | p[2 * i + 1];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      std::uint32_t l = (std::uint32_t{p[2 * i + 2]} << 8) | p[2 * i + 3];
      if (l >= 0xDC00 && l <= 0xDFFF) {
        appendUtf8(out, static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00)));
        ++i;
        continue;
      }
    }
    appendUtf8(out, static_cast<char32_t>(u));  // a lone surrogate becomes U+FFFD
  }
  return out;
}

// The UTF-16 big-endian bytes of a key as the archiver stores it.
std::string utf16BEKey(std::string_view key, bool dollar) {
  std::string units;
  if (dollar) units.append("\0$", 2);
  detail::appendUtf16BE(units, key);
  return units;
}

const AllowedClasses& plainValuesOnly() {
  static const AllowedClasses* a = new AllowedClasses(AllowedClasses::plainValues());
  return *a;
}

}  // namespace

struct KeyedUnarchiver::Impl {
  // One stored object of the property list, its header read and checked.
  struct Node {
    std::uint8_t marker = 0;
    std::uint64_t count = 0;             // elements, bytes or units; integer width for numbers
    const std::uint8_t* body = nullptr;  // payload, fully inside the object area
  };
  struct Frame {
    Node dict;
    int maxChildHeight = 0;
  };
  struct Memo {
    Value value;
    int height = 0;
    bool busy = true;
  };
  enum class ObjectState : std::uint8_t { None, Decoding, Done, Failed };
  struct ObjectSlot {
    ObjectPtr object;
    ObjectState state = ObjectState::None;
    int height = 0;
  };

  KeyedUnarchiver* owner = nullptr;
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  std::uint64_t objectCount = 0;  // of the property list
  std::uint64_t tableOffset = 0;  // the object area is [8, tableOffset)
  int offsetWidth = 0;
  int refWidth = 0;
  Node entries;  // the "$objects" array
  std::vector<Frame> frames;
  int depth = 0;
  std::vector<std::uint32_t> memoIndex;  // object -> memo + 1
  std::vector<Memo> memos;
  std::vector<ObjectSlot> objects;

  bool fail(std::string detail, std::int64_t code = kCoderReadCorruptError) {
    owner->failWithError(readError(code, std::move(detail)));
    return false;
  }
  bool failed() const { return owner->error_ != nullptr; }

  // --- the property list ---

  bool open(std::span<const std::uint8_t> bytes) {
    data = bytes.data();
    size = bytes.size();
    if (size < 8 + 1 + 32 || std::memcmp(data, "bplist00", 8) != 0) return fail("not a binary property list");
    const std::uint8_t* t = data + size - 32;
    offsetWidth = t[6];
    refWidth = t[7];
    objectCount = readBE(t + 8, 8);
    std::uint64_t top = readBE(t + 16, 8);
    tableOffset = readBE(t + 24, 8);
    auto validWidth = [](int w) { return w == 1 || w == 2 || w == 4 || w == 8; };
    if (!validWidth(offsetWidth) || !validWidth(refWidth)) return fail("bad trailer widths");
    if (tableOffset < 9 || tableOffset > size - 32) return fail("offset table out of range");
    if (objectCount == 0 || objectCount > (size - 32 - tableOffset) / static_cast<std::uint64_t>(offsetWidth))
      return fail("object count out of range");
    if (refWidth < 8 && objectCount - 1 > (std::uint64_t{1} << (8 * refWidth)) - 1)
      return fail("references too narrow for the object count");
    if (top >= objectCount) return fail("top object out of range");

    Node root;
    if (!node(top, root) || root.marker >> 4 != 0xD) return fail("top object is not a dictionary");
    frames.push_back({root, 0});
    std::int64_t version = 0;
    std::uint64_t ref;
    Node n;
    if (!find("$v", true, ref) || !node(ref, n) || !intValue(n, version)) return fail("no archive version");
    if (version != 1) return fail("unsupported archive version " + std::to_string(version));
    if (!find("$objects", true, ref) || !node(ref, entries) || entries.marker >> 4 != 0xA)
      return fail("no object table");
    return true;
  }

  std::uint64_t ref(const std::uint8_t* p, std::uint64_t i) const {
    return readBE(p + i * static_cast<std::uint64_t>(refWidth), refWidth);
  }

  // Reads and checks the header of object `index`; every byte the node covers lies before the
  // offset table.
  bool node(std::uint64_t index, Node& n) {
    if (index >= objectCount) return fail("reference out of range");
    std::uint64_t offset = readBE(data + tableOffset + index * static_cast<std::uint64_t>(offsetWidth), offsetWidth);
    if (offset < 8 || offset >= tableOffset) return fail("object offset out of range");
    const std::uint8_t* p = data + offset;
    const std::uint8_t* end = data + tableOffset;
    n.marker = *p++;
    const unsigned high = n.marker >> 4, low = n.marker & 0x0F;
    auto fits = [&](std::uint64_t bytes) { return bytes <= static_cast<std::uint64_t>(end - p); };
    switch (high) {
      case 0x0:
        if (n.marker != 0x08 && n.marker != 0x09) return fail("unsupported object type");
        n.body = p;
        return true;
      case 0x1:
      case 0x2:
      case 0x3:
      case 0x8: {
        std::uint64_t width;
        if (high == 0x1) {
          if (low > 4) return fail("bad integer width");
          width = std::uint64_t{1} << low;
        } else if (high == 0x2) {
          if (low != 2 && low != 3) return fail("bad real width");
          width = std::uint64_t{1} << low;
        } else if (high == 0x3) {
          if (low != 3) return fail("bad date");
          width = 8;
        } else {
          if (low > 7) return fail("bad reference width");
          width = low + 1;
        }
        if (!fits(width)) return fail("truncated object");
        n.count = width;
        n.body = p;
        return true;
      }
      case 0x4:
      case 0x5:
      case 0x6:
      case 0xA:
      case 0xD: {
        std::uint64_t count = low;
        if (low == 0x0F) {
          if (!fits(1)) return fail("truncated count");
          std::uint8_t m = *p++;
          if (m >> 4 != 0x1 || (m & 0x0F) > 3) return fail("bad count");
          int w = 1 << (m & 0x0F);
          if (!fits(static_cast<std::uint64_t>(w))) return fail("truncated count");
          count = readBE(p, w);
          p += w;
        }
        std::uint64_t unit = high == 0x6 ? 2 : high == 0xA ? refWidth : high == 0xD ? 2 * refWidth : 1;
        if (count > static_cast<std::uint64_t>(end - p) / unit) return fail("count exceeds the data");
        n.count = count;
        n.body = p;
        return true;
      }
      default:
        return fail("unsupported object type");
    }
  }

  bool intValue(const Node& n, std::int64_t& out) {
    if (n.marker >> 4 != 0x1 || n.count > 8) return false;
    out = static_cast<std::int64_t>(readBE(n.body, static_cast<int>(n.count)));
    return true;
  }

  // Whether string node `n` is `key` as the archiver stores it (escaped unless `raw`).
  static bool keyMatches(const Node& n, std::string_view key, bool dollar, const std::string* utf16) {
    if (n.marker >> 4 == 0x5) {
      if (utf16) return false;
      if (n.count != key.size() + (dollar ? 1 : 0)) return false;
      const char* s = reinterpret_cast<const char*>(n.body);
      if (dollar) {
        if (*s != '$') return false;
        ++s;
      }
      return std::memcmp(s, key.data(), key.size()) == 0;
    }
    if (n.marker >> 4 == 0x6)
      return utf16 && n.count * 2 == utf16->size() && std::memcmp(n.body, utf16->data(), utf16->size()) == 0;
    return false;
  }

  // The value reference stored under `key` in the current frame.
  bool find(std::string_view key, bool raw, std::uint64_t& valueRef) {
    const Frame& f = frames.back();
    bool dollar = !raw && !key.empty() && key[0] == '$';
    bool ascii = std::all_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string utf16;
    if (!ascii) utf16 = utf16BEKey(key, dollar);
    const std::uint8_t* keys = f.dict.body;
    for (std::uint64_t i = 0; i < f.dict.count; ++i) {
      Node k;
      if (!node(ref(keys, i), k)) return false;
      if (k.marker >> 4 != 0x5 && k.marker >> 4 != 0x6) return fail("dictionary key is not a string");
      if (keyMatches(k, key, dollar, ascii ? nullptr : &utf16)) {
        valueRef = ref(keys, f.dict.count + i);
        return true;
      }
    }
    return false;
  }

  bool string(const Node& n, std::string& out) {
    if (n.marker >> 4 == 0x5) {
      const char* s = reinterpret_cast<const char*>(n.body);
      for (std::uint64_t i = 0; i < n.count; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return fail("non-ASCII byte in an ASCII string");
      out.assign(s, n.count);
      return true;
    }
    if (n.marker >> 4 == 0x6) {
      out = utf8FromUtf16BE(n.body, n.count);
      return true;
    }
    return fail("expected a string");
  }

  // --- values ---

  bool enter() {
    if (depth >= kMaxArchiveNesting) return fail("nesting too deep");
    ++depth;
    return true;
  }

  Memo* memo(std::uint64_t index) {
    if (memoIndex.empty()) memoIndex.assign(objectCount, 0);
    std::uint32_t& m = memoIndex[index];
    if (m) return &memos[m - 1];
    return nullptr;
  }

  Memo& newMemo(std::uint64_t index) {
    memos.push_back({});
    memoIndex[index] = static_cast<std::uint32_t>(memos.size());
    return memos.back();
  }

  // Decodes object `index` into `out`; objects inside it must pass `allowed` (nullptr: any).
  bool value(std::uint64_t index, const AllowedClasses* allowed, Value& out, int& height) {
    // Every level entered below is left on return, even by an exception from an initWithCoder.
    struct Restore {
      int& depth;
      int saved;
      ~Restore() { depth = saved; }
    } restore{depth, depth};
    Node n;
    if (!node(index, n)) return false;
    height = 0;
    const unsigned high = n.marker >> 4;
    switch (high) {
      case 0x0:
        out = Value(n.marker == 0x09);
        return true;
      case 0x1:
        if (n.count == 16) {
          if (readBE(n.body, 8) != 0) return fail("integer out of range");
          out = Value(readBE(n.body + 8, 8));
        } else if (n.count == 8) {
          out = Value(static_cast<std::int64_t>(readBE(n.body, 8)));
        } else {
          out = Value(static_cast<std::int64_t>(readBE(n.body, static_cast<int>(n.count))));
        }
        return true;
      case 0x2:
        if (n.count == 4)
          out = Value(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(readBE(n.body, 4)))));
        else
          out = Value(std::bit_cast<double>(readBE(n.body, 8)));
        return true;
      case 0x3:
        out = Value(Date(std::bit_cast<double>(readBE(n.body, 8))));
        return true;
      case 0x8:
        return object(readBE(n.body, static_cast<int>(n.count)), allowed, out, height);
      case 0x4:
      case 0x5:
      case 0x6:
        if (n.count < kMemoMinimumBytes) return scalar(n, out);
        break;
      default:
        break;
    }

    // Containers and long scalars are built once, however often they are referenced.
    if (Memo* m = memo(index)) {
      if (m->busy) return fail("a container contains itself");
      if (depth + m->height > kMaxArchiveNesting) return fail("nesting too deep");
      out = m->value;
      height = m->height;
      return true;
    }
    newMemo(index);
    bool ok = high == 0xA   ? array(n, allowed, out, height)
              : high == 0xD ? dictionary(n, allowed, out, height)
                            : scalar(n, out);
    if (!ok) return false;
    Memo& m = memos[memoIndex[index] - 1];  // `memos` may have grown
    m.value = out;
    m.height = height;
    m.busy = false;
    return true;
  }

  bool scalar(const Node& n, Value& out) {
    if (n.marker >> 4 == 0x4) {
      out = Value::data(n.body, n.count);
      return true;
    }
    std::string s;
    if (!string(n, s)) return false;
    out = Value(std::move(s));
    return true;
  }

  bool element(std::uint64_t index, const AllowedClasses* allowed, Value& out, int& height) {
    int h;
    if (!value(index, allowed, out, h)) return false;
    if (out.isNil()) return fail("a collection holds nil or an object that could not be decoded");
    height = std::max(height, h);
    return true;
  }

  // Refuses a kind before anything inside it is decoded.
  bool kindAllowed(Value::Type kind, const AllowedClasses* allowed) {
    if (allowed && !allowed->allowsKind(kind)) return fail("a value of an unexpected kind is not allowed here");
    return true;
  }

  bool array(const Node& n, const AllowedClasses* allowed, Value& out, int& height) {
    if (!kindAllowed(Value::Type::Array, allowed) || !enter()) return false;
    ValueArray items;
    items.reserve(n.count);
    int h = 0;
    for (std::uint64_t i = 0; i < n.count; ++i) {
      Value e;
      if (!element(ref(n.body, i), allowed, e, h)) return false;
      items.push_back(std::move(e));
    }
    out = Value(std::move(items));
    height = h + 1;
    return true;
  }

  bool dictionary(const Node& n, const AllowedClasses* allowed, Value& out, int& height) {
    int h = 0;
    if (n.count == 1) {
      Node k;
      std::string tag;
      if (!node(ref(n.body, 0), k) || !string(k, tag)) return false;
      if (!tag.empty() && tag[0] == '$') {
        if (!enter()) return false;
        std::uint64_t inner = ref(n.body, 1);
        if (tag == "$null") {
          if (!kindAllowed(Value::Type::Null, allowed)) return false;
          out = Value::null();
        } else if (tag == "$set") {
          Node a;
          if (!node(inner, a)) return false;
          if (a.marker >> 4 != 0xA) return fail("a set's elements are not an array");
          if (!kindAllowed(Value::Type::Set, allowed) || !enter()) return false;
          ValueSet set;
          for (std::uint64_t i = 0; i < a.count; ++i) {
            Value e;
            if (!element(ref(a.body, i), allowed, e, h)) return false;
            set.insert(std::move(e));
          }
          out = Value(std::move(set));
          h += 1;
        } else if (tag == "$dict") {
          Node d;
          if (!node(inner, d)) return false;
          if (d.marker >> 4 != 0xD) return fail("a wrapped dictionary is not a dictionary");
          if (!plainDictionary(d, allowed, out, h)) return false;
        } else {
          return fail("unknown tag " + tag);
        }
        height = h + 1;
        return true;
      }
    }
    if (!plainDictionary(n, allowed, out, h)) return false;
    height = h;
    return true;
  }

  bool plainDictionary(const Node& n, const AllowedClasses* allowed, Value& out, int& height) {
    if (!kindAllowed(Value::Type::Dictionary, allowed) || !enter()) return false;
    ValueDictionary d;
    int h = 0;
    for (std::uint64_t i = 0; i < n.count; ++i) {
      Node k;
      std::string key;
      if (!node(ref(n.body, i), k) || !string(k, key)) return false;
      Value e;
      if (!element(ref(n.body, n.count + i), allowed, e, h)) return false;
      d.set(std::move(key), std::move(e));
    }
    out = Value(std::move(d));
    height = h + 1;
    return true;
  }

  // --- objects ---

  bool classAllowed(const Class& cls, const AllowedClasses* allowed) {
    if (allowed && !allowed->allowsClass(cls)) return fail("an object of class " + cls.name() + " is not allowed here");
    return true;
  }

  bool object(std::uint64_t uid, const AllowedClasses* allowed, Value& out, int& height) {
    out = Value();
    height = 0;
    if (uid == 0) return true;
    if (uid > entries.count) return fail("object reference out of range");
    if (objects.empty()) objects.resize(entries.count);
    std::uint64_t position = uid - 1;
    {
      ObjectSlot& slot = objects[position];
      switch (slot.state) {
        case ObjectState::Failed:
          return true;
        case ObjectState::Decoding:
        case ObjectState::Done:
          if (!classAllowed(slot.object->objectClass(), allowed)) return false;
          if (slot.state == ObjectState::Done) {
            if (depth + slot.height > kMaxArchiveNesting) return fail("nesting too deep");
            height = slot.height;
          }
          out = Value(slot.object);
          return true;
        case ObjectState::None:
          break;
      }
    }

    Node entry;
    if (!node(ref(entries.body, position), entry)) return false;
    if (entry.marker >> 4 != 0xD) return fail("an object entry is not a dictionary");
    if (!enter()) return false;
    struct Exit {
      Impl& impl;
      ~Exit() { impl.frames.pop_back(); }
    };
    frames.push_back({entry, 0});
    Exit exit{*this};

    std::uint64_t nameRef;
    Node nameNode;
    std::string name;
    if (!find("$c", true, nameRef)) return failed() ? false : fail("an object entry has no class name");
    if (!node(nameRef, nameNode) || !string(nameNode, name)) return false;
    const Class* cls = Class::named(name);
    if (!cls) return fail("cannot decode an object of unknown class " + name);
    if (!classAllowed(*cls, allowed)) return false;
    ObjectPtr instance = cls->makeInstance();
    if (!instance) return fail("cannot make an instance of class " + name);
    if (!instance->supportsCoding()) return fail("class " + name + " does not support coding");

    objects[position].object = instance;
    objects[position].state = ObjectState::Decoding;
    bool ok = false;
    try {
      ok = instance->initWithCoder(*owner);
    } catch (...) {
      objects[position] = {nullptr, ObjectState::Failed, 0};
      throw;
    }
    if (failed()) return false;
    if (!ok) {
      objects[position] = {nullptr, ObjectState::Failed, 0};
      return true;
    }
    if (ObjectPtr replacement = instance->replacementAfterDecoding()) {
      instance = std::move(replacement);
      objects[position].object = instance;
    }
    height = frames.back().maxChildHeight + 1;
    objects[position].state = ObjectState::Done;
    objects[position].height = height;
    out = Value(std::move(instance));
    return true;
  }

  // --- restrictions ---

  // Whether everything in `v` passes `allowed`; each shared container is checked once.
  bool permitted(const Value& v, const AllowedClasses& allowed, std::unordered_set<const void*>& seen) {
    switch (v.type()) {
      case Value::Type::Nil:
        return true;
      case Value::Type::Object:
        return classAllowed(v.asObject()->objectClass(), &allowed);
      case Value::Type::Array:
      case Value::Type::Dictionary:
      case Value::Type::Set:
        break;
      default:
        if (!allowed.allowsKind(v.type())) return fail("a value of an unexpected kind is not allowed here");
        return true;
    }
    if (!allowed.allowsKind(v.type())) return fail("a collection is not allowed here");
    const void* storage = v.isArray() ? static_cast<const void*>(&v.asArray())
                          : v.isSet() ? static_cast<const void*>(&v.asSet())
                                      : static_cast<const void*>(&v.asDictionary());
    if (!seen.insert(storage).second) return true;
    if (v.isArray()) {
      for (const Value& e : v.asArray())
        if (!permitted(e, allowed, seen)) return false;
    } else if (v.isSet()) {
      for (const Value& e : v.asSet())
        if (!permitted(e, allowed, seen)) return false;
    } else {
      for (const auto& [k, e] : v.asDictionary())
        if (!permitted(e, allowed, seen)) return false;
    }
    return true;
  }

  // --- keyed access ---

  const AllowedClasses* defaultRestriction() const {
    return owner->requiresSecureCoding_ ? &plainValuesOnly() : nullptr;
  }

  Value decode(std::string_view key, bool raw, const AllowedClasses* allowed) {
    if (failed()) return {};
    std::uint64_t r;
    if (!find(key, raw, r)) return {};
    Value v;
    int h;
    if (!value(r, allowed, v, h)) return {};
    if (allowed) {
      std::unordered_set<const void*> seen;
      if (!permitted(v, *allowed, seen)) return {};
    }
    if (failed()) return {};
    Frame& f = frames.back();
    f.maxChildHeight = std::max(f.maxChildHeight, h);
    return v;
  }

  // Readies a used Impl for the next archive on this thread, keeping its buffers; false when it
  // grew too big to keep.
  bool recycle() {
    if (memoIndex.capacity() > 4096 || memos.capacity() > 1024 || objects.capacity() > 1024) return false;
    frames.clear();
    memoIndex.clear();
    memos.clear();
    objects.clear();
    depth = 0;
    return true;
  }

  // The node under `key` for a typed scalar read; false when absent or after a failure.
  bool scalarNode(std::string_view key, Node& n) {
    if (failed()) return false;
    std::uint64_t r;
    return find(key, false, r) && node(r, n);
  }
};

namespace {
// One Impl per thread kept between archives (see the archiver's).
thread_local std::unique_ptr<KeyedUnarchiver::Impl> spareUnarchiverImpl;
}  // namespace

KeyedUnarchiver::KeyedUnarchiver(std::span<const std::uint8_t> data, bool requiresSecureCoding)
    : impl_(spareUnarchiverImpl ? std::move(spareUnarchiverImpl) : std::make_unique<Impl>()),
      requiresSecureCoding_(requiresSecureCoding) {
  impl_->owner = this;
  impl_->open(data);
}

KeyedUnarchiver::~KeyedUnarchiver() {
  if (!spareUnarchiverImpl && impl_->recycle()) spareUnarchiverImpl = std::move(impl_);
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
  if (!error_ && error) error_ = std::move(error);
}

bool KeyedUnarchiver::containsValue(std::string_view key) {
  std::uint64_t r;
  return !error_ && impl_->find(key, false, r);
}

Value KeyedUnarchiver::decodeValue(std::string_view key) {
  return impl_->decode(key, false, impl_->defaultRestriction());
}

ObjectPtr KeyedUnarchiver::decodeObject(std::string_view key) { return decodeValue(key).asObject(); }

Value KeyedUnarchiver::decodeObjectOfClasses(const AllowedClasses& allowed, std::string_view key) {
  return impl_->decode(key, false, &allowed);
}

ObjectPtr KeyedUnarchiver::decodeObjectOfClass(const Class& cls, std::string_view key) {
  AllowedClasses allowed{&cls};
  return decodeObjectOfClasses(allowed, key).asObject();
}

bool KeyedUnarchiver::decodeBool(std::string_view key) {
  Value v = impl_->decode(key, false, impl_->defaultRestriction());
  if (v.isNil()) return false;
  if (!v.isNumber()) return impl_->fail("expected a number");
  return v.asBool();
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key) {
  Impl::Node n;
  if (!impl_->scalarNode(key, n)) return 0;
  std::int64_t i;
  if (n.marker >> 4 == 0x1 && n.count <= 8 && impl_->intValue(n, i)) return i;
  Value v = impl_->decode(key, false, impl_->defaultRestriction());
  if (v.isNil()) return 0;
  if (!v.isNumber()) return impl_->fail("expected a number"), 0;
  return v.asInt64();
}

double KeyedUnarchiver::decodeDouble(std::string_view key) {
  Value v = impl_->decode(key, false, impl_->defaultRestriction());
  if (v.isNil()) return 0;
  if (!v.isNumber()) return impl_->fail("expected a number"), 0;
  return v.asDouble();
}

std::string KeyedUnarchiver::decodeString(std::string_view key) {
  Impl::Node n;
  std::string s;
  if (!impl_->scalarNode(key, n)) return s;
  if (n.marker == 0x80 && n.count == 1 && n.body[0] == 0) return s;  // nil
  if (!impl_->string(n, s)) return {};
  return s;
}

Bytes KeyedUnarchiver::decodeData(std::string_view key) {
  Impl::Node n;
  if (!impl_->scalarNode(key, n)) return {};
  if (n.marker == 0x80 && n.count == 1 && n.body[0] == 0) return {};  // nil
  if (n.marker >> 4 != 0x4) return impl_->fail("expected data"), Bytes{};
  return Bytes(n.body, n.body + n.count);
}

Value KeyedUnarchiver::unarchiveRoot(std::span<const std::uint8_t> data, const AllowedClasses* allowed,
                                     ErrorPtr* error) {
  KeyedUnarchiver unarchiver(data, allowed != nullptr);
  Value root;
  std::uint64_t r;
  if (!unarchiver.error_) {
    if (unarchiver.impl_->find("$top", true, r))
      root = unarchiver.impl_->decode("$top", true, allowed);
    else if (!unarchiver.error_)
      unarchiver.impl_->fail("the archive has no root value", kCoderValueNotFoundError);
  }
  if (unarchiver.error_) root = Value();
  if (error) *error = unarchiver.error_;
  return root;
}

Value KeyedUnarchiver::unarchivedObject(std::span<const std::uint8_t> data, ErrorPtr* error) {
  return unarchiveRoot(data, nullptr, error);
}

Value KeyedUnarchiver::unarchivedObjectOfClasses(const AllowedClasses& allowed, std::span<const std::uint8_t> data,
                                                 ErrorPtr* error) {
  return unarchiveRoot(data, &allowed, error);
}

}  // namespace platform

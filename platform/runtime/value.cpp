#include "platform/runtime/value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/system/text.h"

namespace platform {

namespace {

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

template <class T>
const T& stored(const std::shared_ptr<void>& p) {
  return *static_cast<const T*>(p.get());
}

// Shared storage that may be written: copied first when anybody else holds it.
template <class T>
T& writable(std::shared_ptr<void>& p) {
  if (p.use_count() > 1) p = std::make_shared<T>(stored<T>(p));
  return *static_cast<T*>(p.get());
}

std::size_t mix(std::size_t h, std::size_t v) { return h ^ (v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2)); }

// A number's canonical form for equality and hashing.
struct Numeric {
  enum { Signed, Unsigned, Floating } kind;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
};

bool doubleEqualsSigned(double d, std::int64_t i) {
  if (!(d >= -kTwo63 && d < kTwo63) || d != std::floor(d)) return false;
  return static_cast<std::int64_t>(d) == i;
}

bool doubleEqualsUnsigned(double d, std::uint64_t u) {
  if (!(d >= 0 && d < kTwo64) || d != std::floor(d)) return false;
  return static_cast<std::uint64_t>(d) == u;
}

bool numericEqual(const Numeric& a, const Numeric& b) {
  using K = decltype(a.kind);
  if (a.kind == K::Signed && b.kind == K::Signed) return a.i == b.i;
  if (a.kind == K::Unsigned && b.kind == K::Unsigned) return a.u == b.u;
  if (a.kind == K::Signed && b.kind == K::Unsigned) return a.i >= 0 && static_cast<std::uint64_t>(a.i) == b.u;
  if (a.kind == K::Unsigned && b.kind == K::Signed) return b.i >= 0 && static_cast<std::uint64_t>(b.i) == a.u;
  if (a.kind == K::Floating && b.kind == K::Floating) return a.d == b.d || (std::isnan(a.d) && std::isnan(b.d));
  if (a.kind == K::Floating) return b.kind == K::Signed ? doubleEqualsSigned(a.d, b.i) : doubleEqualsUnsigned(a.d, b.u);
  return a.kind == K::Signed ? doubleEqualsSigned(b.d, a.i) : doubleEqualsUnsigned(b.d, a.u);
}

std::size_t numericHash(const Numeric& n) {
  // Equal numbers of different kinds must hash alike: hash integral values as integers.
  std::int64_t i;
  std::uint64_t u;
  switch (n.kind) {
    case Numeric::Signed:
      return std::hash<std::int64_t>{}(n.i);
    case Numeric::Unsigned:
      if (n.u <= static_cast<std::uint64_t>(INT64_MAX))
        return std::hash<std::int64_t>{}(static_cast<std::int64_t>(n.u));
      return mix(1, std::hash<std::uint64_t>{}(n.u));
    case Numeric::Floating:
      if (std::isnan(n.d)) return 0x7ff8;
      if (n.d == std::floor(n.d) && n.d >= -kTwo63 && n.d < kTwo63) {
        i = static_cast<std::int64_t>(n.d);
        return std::hash<std::int64_t>{}(i);
      }
      if (n.d == std::floor(n.d) && n.d >= 0 && n.d < kTwo64) {
        u = static_cast<std::uint64_t>(n.d);
        return mix(1, std::hash<std::uint64_t>{}(u));
      }
      return std::hash<double>{}(n.d);
  }
  return 0;
}

std::string indentString(int level) { return std::string(static_cast<std::size_t>(std::max(level, 0)) * 4, ' '); }

std::string numberDescription(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t k = 0; k < n; ++k) {
    out.push_back(digits[p[k] >> 4]);
    out.push_back(digits[p[k] & 15]);
  }
  return out;
}

std::string dataDescription(const Bytes& b) {
  std::string out = "{length = " + std::to_string(b.size()) + ", bytes = 0x";
  if (b.size() <= 24) {
    out += hexBytes(b.data(), b.size());
  } else {
    out += hexBytes(b.data(), 16) + " ... " + hexBytes(b.data() + b.size() - 8, 8);
  }
  return out + "}";
}

// Lenient string-to-number reading: leading white space, optional sign, a decimal number.
std::string_view numericPrefix(std::string_view s, bool allowFraction) {
  std::size_t k = 0;
  while (k < s.size() && (s[k] == ' ' || s[k] == '\t' || s[k] == '\n' || s[k] == '\r' || s[k] == '\f' || s[k] == '\v'))
    ++k;
  std::size_t start = k;
  if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
  std::size_t digits = 0;
  while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k, ++digits;
  if (allowFraction) {
    if (k < s.size() && s[k] == '.') {
      ++k;
      while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k, ++digits;
    }
    if (digits && k < s.size() && (s[k] == 'e' || s[k] == 'E')) {
      std::size_t e = k + 1;
      if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
      if (e < s.size() && s[e] >= '0' && s[e] <= '9') {
        k = e;
        while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k;
      }
    }
  }
  if (!digits) return {};
  return s.substr(start, k - start);
}

std::int64_t saturatingInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return INT64_MAX;
  if (d < -kTwo63) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Value

const Value& Value::nilValue() {
  static const Value nil{};
  return nil;
}

Value Value::null() {
  Value v;
  v.type_ = Type::Null;
  return v;
}

Value::Value(bool b) : type_(Type::Bool) { bool_ = b; }
Value::Value(double d) : type_(Type::Double) { double_ = d; }

Value::Value(const char* s) {
  if (!s) return;
  type_ = Type::String;
  shared_ = std::make_shared<std::string>(s);
}
Value::Value(std::string s) : type_(Type::String), shared_(std::make_shared<std::string>(std::move(s))) {}
Value::Value(std::string_view s) : type_(Type::String), shared_(std::make_shared<std::string>(s)) {}
Value::Value(Bytes data) : type_(Type::Data), shared_(std::make_shared<Bytes>(std::move(data))) {}
Value::Value(Date date) : type_(Type::Date) { double_ = date.timeIntervalSinceReferenceDate(); }
Value::Value(ValueArray array) : type_(Type::Array), shared_(std::make_shared<ValueArray>(std::move(array))) {}
Value::Value(ValueDictionary dictionary)
    : type_(Type::Dictionary), shared_(std::make_shared<ValueDictionary>(std::move(dictionary))) {}
Value::Value(ValueSet set) : type_(Type::Set), shared_(std::make_shared<ValueSet>(std::move(set))) {}
Value::Value(ObjectPtr object, int) {
  if (!object) return;
  type_ = Type::Object;
  weakObject_ = false;
  shared_ = std::move(object);
}

Value Value::weakObject(const ObjectPtr& object) {
  Value v;
  if (!object) return v;
  v.type_ = Type::Object;
  v.weakObject_ = true;
  v.shared_ = std::make_shared<std::weak_ptr<Object>>(object);
  return v;
}

Value::Type Value::weakType() const {
  return stored<std::weak_ptr<Object>>(shared_).expired() ? Type::Nil : Type::Object;
}

Value Value::data(const void* bytes, std::size_t length) {
  auto p = static_cast<const std::uint8_t*>(bytes);
  return Value(Bytes(p, p + (p ? length : 0)));
}

Value Value::dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
  return Value(ValueDictionary(entries));
}

Value Value::setOf(std::initializer_list<Value> items) { return Value(ValueSet(items)); }

bool Value::isNumber() const {
  return type_ == Type::Bool || type_ == Type::Int || type_ == Type::UInt || type_ == Type::Double;
}

bool Value::asBool() const {
  switch (type_) {
    case Type::Bool:
      return bool_;
    case Type::Int:
      return int_ != 0;
    case Type::UInt:
      return uint_ != 0;
    case Type::Double:
      return double_ != 0;
    case Type::String: {
      const std::string& s = stored<std::string>(shared_);
      std::size_t k = 0;
      while (k < s.size() && std::strchr(" \t\n\r\f\v", s[k]) && s[k]) ++k;
      if (k < s.size() && (s[k] == 'Y' || s[k] == 'y' || s[k] == 'T' || s[k] == 't')) return true;
      if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
      while (k < s.size() && s[k] == '0') ++k;
      return k < s.size() && s[k] >= '1' && s[k] <= '9';
    }
    default:
      return false;
  }
}

std::int64_t Value::asInt64() const {
  switch (type_) {
    case Type::Bool:
      return bool_ ? 1 : 0;
    case Type::Int:
      return int_;
    case Type::UInt:
      return static_cast<std::int64_t>(uint_);
    case Type::Double:
      return saturatingInt64(double_);
    case Type::String: {
      std::string_view digits = numericPrefix(stored<std::string>(shared_), false);
      if (digits.empty()) return 0;
      bool negative = digits[0] == '-';
      std::uint64_t magnitude = 0;
      bool overflow = false;
      for (char c : digits) {
        if (c < '0' || c > '9') continue;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
          overflow = true;
          break;
        }
        magnitude = magnitude * 10 + digit;
      }
      if (negative)
        return overflow || magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1
                   ? INT64_MIN
                   : static_cast<std::int64_t>(0 - magnitude);
      return overflow || magnitude > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX
                                                                           : static_cast<std::int64_t>(magnitude);
    }
    default:
      return 0;
  }
}

std::uint64_t Value::asUInt64() const {
  switch (type_) {
    case Type::UInt:
      return uint_;
    case Type::Double:
      if (double_ >= 0) return double_ >= kTwo64 ? UINT64_MAX : static_cast<std::uint64_t>(double_);
      return static_cast<std::uint64_t>(saturatingInt64(double_));
    case Type::String: {
      std::string_view digits = numericPrefix(stored<std::string>(shared_), false);
      if (!digits.empty() && digits[0] != '-') {
        std::uint64_t magnitude = 0;
        for (char c : digits) {
          if (c < '0' || c > '9') continue;
          unsigned digit = static_cast<unsigned>(c - '0');
          if (magnitude > (UINT64_MAX - digit) / 10) return UINT64_MAX;
          magnitude = magnitude * 10 + digit;
        }
        return magnitude;
      }
      return static_cast<std::uint64_t>(asInt64());
    }
    default:
      return static_cast<std::uint64_t>(asInt64());
  }
}

double Value::asDouble() const {
  switch (type_) {
    case Type::Bool:
      return bool_ ? 1 : 0;
    case Type::Int:
      return static_cast<double>(int_);
    case Type::UInt:
      return static_cast<double>(uint_);
    case Type::Double:
      return double_;
    case Type::String: {
      std::string digits(numericPrefix(stored<std::string>(shared_), true));
      return digits.empty() ? 0 : std::strtod(digits.c_str(), nullptr);
    }
    default:
      return 0;
  }
}

const std::string& Value::asString() const {
  static const std::string empty;
  return type_ == Type::String ? stored<std::string>(shared_) : empty;
}
const Bytes& Value::asData() const {
  static const Bytes empty;
  return type_ == Type::Data ? stored<Bytes>(shared_) : empty;
}
Date Value::asDate() const { return type_ == Type::Date ? Date(double_) : Date(); }
const ValueArray& Value::asArray() const {
  static const ValueArray empty;
  return type_ == Type::Array ? stored<ValueArray>(shared_) : empty;
}
const ValueDictionary& Value::asDictionary() const {
  static const ValueDictionary* empty = new ValueDictionary;
  return type_ == Type::Dictionary ? stored<ValueDictionary>(shared_) : *empty;
}
const ValueSet& Value::asSet() const {
  static const ValueSet* empty = new ValueSet;
  return type_ == Type::Set ? stored<ValueSet>(shared_) : *empty;
}
ObjectPtr Value::asObject() const {
  if (type_ != Type::Object) return nullptr;
  if (weakObject_) return stored<std::weak_ptr<Object>>(shared_).lock();
  return std::static_pointer_cast<Object>(shared_);
}

std::size_t Value::count() const {
  switch (type_) {
    case Type::Array:
      return stored<ValueArray>(shared_).size();
    case Type::Dictionary:
      return stored<ValueDictionary>(shared_).size();
    case Type::Set:
      return stored<ValueSet>(shared_).size();
    default:
      return 0;
  }
}

const Value& Value::operator[](std::string_view key) const {
  if (type_ != Type::Dictionary) return nilValue();
  const Value* v = stored<ValueDictionary>(shared_).find(key);
  return v ? *v : nilValue();
}

const Value& Value::at(std::size_t index) const {
  if (type_ != Type::Array) return nilValue();
  const ValueArray& a = stored<ValueArray>(shared_);
  return index < a.size() ? a[index] : nilValue();
}

bool Value::set(std::string key, Value value) {
  if (type_ == Type::Nil) *this = Value(ValueDictionary());
  if (type_ != Type::Dictionary) return false;
  writable<ValueDictionary>(shared_).set(std::move(key), std::move(value));
  return true;
}

bool Value::removeKey(std::string_view key) {
  if (type_ != Type::Dictionary) return false;
  if (!stored<ValueDictionary>(shared_).contains(key)) return false;
  return writable<ValueDictionary>(shared_).remove(key);
}

bool Value::append(Value value) {
  if (type_ == Type::Nil) *this = Value(ValueArray());
  if (type_ != Type::Array) return false;
  writable<ValueArray>(shared_).push_back(std::move(value));
  return true;
}

bool Value::insert(Value value) {
  if (type_ == Type::Nil) *this = Value(ValueSet());
  if (type_ != Type::Set) return false;
  if (stored<ValueSet>(shared_).contains(value)) return true;
  writable<ValueSet>(shared_).insert(std::move(value));
  return true;
}

namespace {
Numeric numericOf(const Value& v) {
  Numeric n{Numeric::Signed};
  switch (v.type()) {
    case Value::Type::Bool:
      n.i = v.asBool() ? 1 : 0;
      break;
    case Value::Type::Int:
      n.i = v.asInt64();
      break;
    case Value::Type::UInt:
      n.kind = Numeric::Unsigned;
      n.u = v.asUInt64();
      break;
    default:
      n.kind = Numeric::Floating;
      n.d = v.asDouble();
      break;
  }
  return n;
}
}  // namespace

bool Value::operator==(const Value& other) const {
  if (isNumber() && other.isNumber()) return numericEqual(numericOf(*this), numericOf(other));
  const Type type = this->type();
  if (type != other.type()) return false;
  switch (type) {
    case Type::Nil:
    case Type::Null:
      return true;
    case Type::Date:
      return double_ == other.double_;
    case Type::String:
      return shared_ == other.shared_ || stored<std::string>(shared_) == stored<std::string>(other.shared_);
    case Type::Data:
      return shared_ == other.shared_ || stored<Bytes>(shared_) == stored<Bytes>(other.shared_);
    case Type::Array:
      return shared_ == other.shared_ || stored<ValueArray>(shared_) == stored<ValueArray>(other.shared_);
    case Type::Dictionary:
      return shared_ == other.shared_ || stored<ValueDictionary>(shared_) == stored<ValueDictionary>(other.shared_);
    case Type::Set:
      return shared_ == other.shared_ || stored<ValueSet>(shared_) == stored<ValueSet>(other.shared_);
    case Type::Object: {
      const ObjectPtr mine = asObject();
      const ObjectPtr theirs = other.asObject();
      // A weak reference may lose its object between type() and here.
      if (!mine || !theirs) return mine == theirs;
      return mine == theirs || mine->isEqual(*theirs);
    }
    default:
      return false;  // numbers handled above
  }
}

std::size_t Value::hash() const {
  if (isNumber()) return numericHash(numericOf(*this));
  const Type type = this->type();
  std::size_t h = static_cast<std::size_t>(type) * 0x100000001b3ull;
  switch (type) {
    case Type::Date:
      return mix(h, std::hash<double>{}(double_));
    case Type::String:
      return mix(h, std::hash<std::string>{}(stored<std::string>(shared_)));
    case Type::Data: {
      const Bytes& b = stored<Bytes>(shared_);
      return mix(h, std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(b.data()), b.size())));
    }
    case Type::Array:
      for (const Value& v : stored<ValueArray>(shared_)) h = mix(h, v.hash());
      return h;
    case Type::Dictionary: {
      // Order-independent: equal dictionaries may hold their keys in different orders.
      std::size_t sum = 0;
      for (const auto& [k, v] : stored<ValueDictionary>(shared_)) sum += mix(std::hash<std::string>{}(k), v.hash());
      return mix(h, sum);
    }
    case Type::Set: {
      std::size_t sum = 0;
      for (const Value& v : stored<ValueSet>(shared_)) sum += mix(0, v.hash());
      return mix(h, sum);
    }
    case Type::Object: {
      const ObjectPtr object = asObject();
      return object ? mix(h, object->hash()) : h;
    }
    default:
      return h;
  }
}

std::string Value::description() const { return descriptionWithIndent(0); }

std::string Value::descriptionWithIndent(int level) const {
  switch (type()) {
    case Type::Nil:
      return "(null)";
    case Type::Null:
      return level > 0 ? "\"<null>\"" : "<null>";
    case Type::Bool:
      return bool_ ? "1" : "0";
    case Type::Int:
      return std::to_string(int_);
    case Type::UInt:
      return std::to_string(uint_);
    case Type::Double:
      return numberDescription(double_);
    case Type::String:
      return level > 0 ? quotedStringForDescription(stored<std::string>(shared_)) : stored<std::string>(shared_);
    case Type::Data:
      return dataDescription(stored<Bytes>(shared_));
    case Type::Date:
      return level > 0 ? quotedStringForDescription(asDate().description()) : asDate().description();
    case Type::Object: {
      // Inside a collection an object's description is quoted like a string.
      const ObjectPtr object = asObject();
      if (!object) return "(null)";
      return level > 0 ? quotedStringForDescription(object->description()) : object->description();
    }
    case Type::Array:
    case Type::Set: {
      bool isSet = type_ == Type::Set;
      std::string out = indentString(level) + (isSet ? "{(\n" : "(\n");
      bool first = true;
      auto add = [&](const Value& v) {
        if (!first) out += ",\n";
        first = false;
        out += indentString(level + 1) + v.descriptionWithIndent(level + 1);
      };
      if (isSet)
        for (const Value& v : stored<ValueSet>(shared_)) add(v);
      else
        for (const Value& v : stored<ValueArray>(shared_)) add(v);
      if (!first) out += "\n";
      return out + indentString(level) + (isSet ? ")}" : ")");
    }
    case Type::Dictionary: {
      // Keys print sorted, as the platform does for string keys.
      const ValueDictionary& d = stored<ValueDictionary>(shared_);
      std::vector<const ValueDictionary::Entry*> entries;
      entries.reserve(d.size());
      for (const auto& e : d) entries.push_back(&e);
      std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
      std::string out = indentString(level) + "{\n";
      for (const auto* e : entries)
        out += indentString(level + 1) + quotedStringForDescription(e->first) + " = " +
               e->second.descriptionWithIndent(level + 1) + ";\n";
      return out + indentString(level) + "}";
    }
  }
  return {};
}

std::string quotedStringForDescription(std::string_view s) {
  auto plain = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '/' || c == ':' || c == '.' || c == '-';
  };
  if (!s.empty() && std::all_of(s.begin(), s.end(), [&](char c) { return plain(static_cast<unsigned char>(c)); }))
    return std::string(s);
  std::string out = "\"";
  char buf[16];
  for (std::size_t pos = 0; pos < s.size();) {
    char32_t c = decodeUtf8(s, pos);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(static_cast<char>(c));
        } else if (c < 0x10000) {
          std::snprintf(buf, sizeof buf, "\\U%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          char32_t v = c - 0x10000;
          std::snprintf(buf, sizeof buf, "\\U%04x\\U%04x", static_cast<unsigned>(0xD800 + (v >> 10)),
                        static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
          out += buf;
        }
    }
  }
  return out + "\"";
}

// ---------------------------------------------------------------------------------------------
// ValueDictionary

ValueDictionary::ValueDictionary(std::initializer_list<Entry> entries) {
  for (const Entry& e : entries) set(e.first, e.second);
}

const Value* ValueDictionary::find(std::string_view key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void ValueDictionary::set(std::string key, Value value) {
  if (value.isNil()) {
    remove(key);
    return;
  }
  auto it = index_.find(std::string_view(key));
  if (it != index_.end()) {
    entries_[it->second].second = std::move(value);
    return;
  }
  index_.emplace(key, entries_.size());
  entries_.emplace_back(std::move(key), std::move(value));
}

bool ValueDictionary::remove(std::string_view key) {
  auto it = index_.find(key);
  if (it == index_.end()) return false;
  std::size_t position = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (auto& [k, p] : index_)
    if (p > position) --p;
  return true;
}

std::vector<std::string> ValueDictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

bool ValueDictionary::operator==(const ValueDictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [k, v] : entries_) {
    const Value* o = other.find(k);
    if (!o || !(*o == v)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// ValueSet

ValueSet::ValueSet(std::initializer_list<Value> values) {
  for (const Value& v : values) insert(v);
}

bool ValueSet::contains(const Value& value) const {
  auto [first, last] = index_.equal_range(value.hash());
  for (auto it = first; it != last; ++it)
    if (values_[it->second] == value) return true;
  return false;
}

bool ValueSet::insert(Value value) {
  if (value.isNil() || contains(value)) return false;
  index_.emplace(value.hash(), values_.size());
  values_.push_back(std::move(value));
  return true;
}

bool ValueSet::remove(const Value& value) {
  auto [first, last] = index_.equal_range(value.hash());
  for (auto it = first; it != last; ++it) {
    if (values_[it->second] == value) {
      std::size_t position = it->second;
      index_.erase(it);
      values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
      for (auto& [h, p] : index_)
        if (p > position) --p;
      return true;
    }
  }
  return false;
}

bool ValueSet::operator==(const ValueSet& other) const {
  if (size() != other.size()) return false;
  for (const Value& v : values_)
    if (!other.contains(v)) return false;
  return true;
}

}  // namespace platform

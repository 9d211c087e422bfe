#include "platform/codecs/property_list.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/text.h"

namespace platform {

namespace {

struct PlistDeleter {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

ErrorPtr readError(std::string debug) {
  return Error::make(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
                     Value::dictionary({{std::string(kLocalizedDescriptionKey),
                                         "The data couldn\u2019t be read because it isn\u2019t in the correct format."},
                                        {std::string(kDebugDescriptionErrorKey), Value(std::move(debug))}}));
}

ErrorPtr writeError(std::string debug) {
  return Error::make(
      std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError,
      Value::dictionary({{std::string(kLocalizedDescriptionKey),
                          "The data couldn\u2019t be written because it isn\u2019t in the correct format."},
                         {std::string(kDebugDescriptionErrorKey), Value(std::move(debug))}}));
}

std::uint64_t readBigEndian(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < n; ++k) v = (v << 8) | p[k];
  return v;
}

// Where the parts of a binary property list lie, from its trailer.
struct BinaryLayout {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
  std::size_t offsetSize = 0;
  std::size_t refSize = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t topObject = 0;
  std::uint64_t tableOffset = 0;

  // Reads the trailer; false when it is malformed or the offset table lies outside the data.
  bool read(std::string_view data) {
    bytes = reinterpret_cast<const unsigned char*>(data.data());
    size = data.size();
    if (size < 8 + 32) return false;
    const unsigned char* trailer = bytes + size - 32;
    offsetSize = trailer[6];
    refSize = trailer[7];
    objectCount = readBigEndian(trailer + 8, 8);
    topObject = readBigEndian(trailer + 16, 8);
    tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    return tableOffset < size && objectCount <= (size - tableOffset) / offsetSize;
  }

  // The object's offset, or 0 when it lies outside the object area.
  std::uint64_t offsetOf(std::uint64_t object) const {
    std::uint64_t offset = readBigEndian(bytes + tableOffset + object * offsetSize, offsetSize);
    return offset < 8 || offset >= size - 32 ? 0 : offset;
  }

  // The element count of the object at `offset` and where its contents start; false when the
  // count runs past the data.
  bool count(std::uint64_t offset, std::uint64_t& count, std::uint64_t& start) const {
    count = bytes[offset] & 0x0F;
    start = offset + 1;
    if (count != 0x0F) return true;
    if (start >= size) return false;
    unsigned char intMarker = bytes[start];
    if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
    std::size_t width = std::size_t{1} << (intMarker & 0x0F);
    if (start + 1 + width > size) return false;
    count = readBigEndian(bytes + start + 1, width);
    start += 1 + width;
    return true;
  }
};

// The property-list library aborts the process on a string or key holding a NUL character, which
// a binary property list can contain. Checks every string object of the object table first; also
// rejects tables that point outside the data.
bool binaryStringsAreSafe(const BinaryLayout& layout) {
  const unsigned char* bytes = layout.bytes;
  const std::size_t size = layout.size;
  for (std::uint64_t i = 0; i < layout.objectCount; ++i) {
    const std::uint64_t offset = layout.offsetOf(i);
    if (offset == 0) return false;
    unsigned type = bytes[offset] >> 4;
    if (type != 0x5 && type != 0x6 && type != 0x7) continue;
    std::uint64_t count = 0;
    std::uint64_t start = 0;
    if (!layout.count(offset, count, start)) return false;
    std::uint64_t unit = type == 0x6 ? 2 : 1;
    if (count > size || start + count * unit > size) return false;
    for (std::uint64_t k = 0; k < count; ++k) {
      if (unit == 1 ? bytes[start + k] == 0 : (bytes[start + 2 * k] == 0 && bytes[start + 2 * k + 1] == 0))
        return false;
    }
  }
  return true;
}

// The library builds a separate node for every reference to an object, recursively. Walks the
// graph from the top object without recursion, remembering each object's node count and height,
// and refuses what the library could not build safely: references out of range, cycles, nesting
// deeper than the reader accepts, or more nodes than the input's budget.
bool binaryGraphIsBounded(const BinaryLayout& layout, std::string& why) {
  if (layout.topObject >= layout.objectCount) {
    why = "malformed binary property list";
    return false;
  }
  struct Memo {
    std::uint64_t nodes = 0;
    int height = 0;
    std::uint8_t state = 0;  // 0 unvisited, 1 being walked, 2 done
  };
  std::vector<Memo> memo(layout.objectCount);
  struct Frame {
    std::uint64_t object;
    std::uint64_t refs;      // where its references start
    std::uint64_t refCount;  // how many (a dictionary's keys and values)
    std::uint64_t next = 0;  // the next reference to walk
  };
  std::vector<Frame> stack;
  const std::uint64_t budget =
      std::max<std::uint64_t>(kPropertyListMinNodeBudget, layout.size * kPropertyListNodesPerByte);

  // Pushes a container, or finishes a leaf at once; false on malformed input.
  auto enter = [&](std::uint64_t object) {
    const std::uint64_t offset = layout.offsetOf(object);
    if (offset == 0) return false;
    const unsigned type = layout.bytes[offset] >> 4;
    if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) {
      memo[object] = {1, 0, 2};
      return true;
    }
    std::uint64_t count = 0;
    std::uint64_t start = 0;
    if (!layout.count(offset, count, start)) return false;
    const std::uint64_t refCount = type == 0xD ? count * 2 : count;
    if (count > layout.size || refCount > (layout.size - start) / layout.refSize) return false;
    memo[object].state = 1;
    stack.push_back({object, start, refCount});
    return true;
  };

  if (!enter(layout.topObject)) {
    why = "malformed binary property list";
    return false;
  }
  while (!stack.empty()) {
    Frame& frame = stack.back();
    Memo& mine = memo[frame.object];
    if (frame.next == frame.refCount) {
      mine.nodes += 1;
      mine.state = 2;
      stack.pop_back();
      if (mine.height > kPropertyListMaxDepth) {
        why = "property list nested too deeply";
        return false;
      }
      continue;
    }
    const std::uint64_t child = readBigEndian(layout.bytes + frame.refs + frame.next * layout.refSize, layout.refSize);
    if (child >= layout.objectCount || memo[child].state == 1) {
      why = child >= layout.objectCount ? "malformed binary property list" : "property list refers to itself";
      return false;
    }
    if (memo[child].state == 0) {
      // Walk the child first; this reference is taken when the walk comes back here.
      if (!enter(child)) {
        why = "malformed binary property list";
        return false;
      }
      continue;
    }
    ++frame.next;
    mine.nodes = std::min<std::uint64_t>(mine.nodes + memo[child].nodes, budget + 1);
    mine.height = std::max(mine.height, memo[child].height + 1);
    if (mine.nodes > budget) {
      why = "property list too large";
      return false;
    }
  }
  return true;
}

// The deepest element nesting of XML text, found without recursion and without building anything:
// the library frees what it parsed recursively, so text nested too deeply must never reach it.
// Comments, CDATA sections, processing instructions and declarations do not count; quoted
// attribute values may hold '>'. Counting stops once past `limit`.
int xmlNesting(std::string_view text, int limit) {
  int depth = 0;
  int deepest = 0;
  std::size_t i = 0;
  auto skipPast = [&](std::string_view end) {
    std::size_t found = text.find(end, i);
    i = found == std::string_view::npos ? text.size() : found + end.size();
  };
  while (deepest <= limit && (i = text.find('<', i)) != std::string_view::npos) {
    std::string_view rest = text.substr(i);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?")) {
      skipPast("?>");
    } else if (rest.starts_with("<!")) {
      // A declaration, possibly with an internal subset in brackets.
      int brackets = 0;
      for (++i; i < text.size(); ++i) {
        if (text[i] == '[') ++brackets;
        if (text[i] == ']') --brackets;
        if (text[i] == '>' && brackets <= 0) break;
      }
      ++i;
    } else if (rest.starts_with("</")) {
      --depth;
      skipPast(">");
    } else {
      char quote = 0;
      bool selfClosing = false;
      for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          selfClosing = text[i - 1] == '/';
          break;
        }
      }
      ++i;
      if (!selfClosing) deepest = std::max(deepest, ++depth);
    }
  }
  return deepest;
}

// The library keeps integers as 64-bit patterns and marks values above INT64_MAX internally; its
// XML rendering of a lone node is the only public way to tell -1 from 2^64-1.
bool isLargeUnsigned(plist_t node) {
  PlistPtr copy(plist_copy(node));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(copy.get(), &xml, &length);
  if (!xml) return false;
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text.find("<integer>-") == std::string::npos;
}

class Reader {
 public:
  bool read(plist_t node, int depth, Value& out) {
    if (depth > kPropertyListMaxDepth) return fail("property list nested too deeply");
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = Value(b != 0);
        return true;
      }
      case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u > static_cast<std::uint64_t>(INT64_MAX) && isLargeUnsigned(node))
          out = Value(u);
        else
          out = Value(static_cast<std::int64_t>(u));
        return true;
      }
      case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        out = Value(d);
        return true;
      }
      case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        out = Value(s ? sanitizedUtf8(std::string_view(s, length)) : std::string());
        return true;
      }
      case PLIST_DATE: {
        // The library keeps the microseconds' magnitude apart from the sign of the seconds.
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // (The library itself loses the sign of dates less than a second before the reference date.)
        bool negative = sec < 0;
        double magnitude = std::fabs(static_cast<double>(sec)) + static_cast<double>(usec) / 1e6;
        out = Value(Date(negative ? -magnitude : magnitude));
        return true;
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        out = Value::data(bytes, bytes ? length : 0);
        return true;
      }
      case PLIST_UID: {
        std::uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        out = Value::dictionary({{"CF$UID", Value(uid)}});
        return true;
      }
      case PLIST_ARRAY: {
        std::uint32_t n = plist_array_get_size(node);
        ValueArray items;
        items.reserve(n);
        for (std::uint32_t k = 0; k < n; ++k) {
          plist_t item = plist_array_get_item(node, k);
          Value v;
          if (!item || !read(item, depth + 1, v)) return item ? false : fail("missing array item");
          items.push_back(std::move(v));
        }
        out = Value(std::move(items));
        return true;
      }
      case PLIST_DICT: {
        ValueDictionary entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, MallocDeleter> ownedIter(it);
        while (it) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, it, &key, &item);
          std::unique_ptr<char, MallocDeleter> ownedKey(key);
          if (!item) break;
          Value v;
          if (!read(item, depth + 1, v)) return false;
          entries.set(key ? sanitizedUtf8(key) : std::string(), std::move(v));
        }
        out = Value(std::move(entries));
        return true;
      }
      default:
        return fail("unsupported property list node");
    }
  }

  std::string message;

 private:
  bool fail(std::string m) {
    message = std::move(m);
    return false;
  }
};

class Writer {
 public:
  // A new node for the value, or null with `message` set.
  PlistPtr make(const Value& v, int depth) {
    if (depth > kPropertyListMaxDepth) return fail("property list nested too deeply");
    switch (v.type()) {
      case Value::Type::Bool:
        return PlistPtr(plist_new_bool(v.asBool() ? 1 : 0));
      case Value::Type::Int:
        // Stored as the two's-complement pattern, which the library writes as a signed integer.
        return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(v.asInt64())));
      case Value::Type::UInt: {
        std::uint64_t u = v.asUInt64();
        if (u <= static_cast<std::uint64_t>(INT64_MAX)) return PlistPtr(plist_new_uint(u));
        // Only the parser makes the library's unsigned 128-bit form, which keeps values above
        // INT64_MAX from reading back as negative.
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><integer>" +
                          std::to_string(u) + "</integer></plist>";
        plist_t node = nullptr;
        plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
        if (!node) return fail("cannot store unsigned integer");
        return PlistPtr(node);
      }
      case Value::Type::Double:
        return PlistPtr(plist_new_real(v.asDouble()));
      case Value::Type::String: {
        const std::string& s = v.asString();
        if (s.find('\0') != std::string::npos) return fail("string with a NUL character");
        return PlistPtr(plist_new_string(sanitizedUtf8(s).c_str()));
      }
      case Value::Type::Data: {
        const Bytes& b = v.asData();
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(b.data()), b.size()));
      }
      case Value::Type::Date: {
        double seconds = v.asDate().timeIntervalSinceReferenceDate();
        double whole = std::trunc(seconds);
        if (!(whole > INT32_MIN && whole < INT32_MAX)) return fail("date out of the storable range");
        auto usec = static_cast<std::int32_t>(std::llround((seconds - whole) * 1e6));  // same sign as seconds
        return PlistPtr(plist_new_date(static_cast<std::int32_t>(whole), usec));
      }
      case Value::Type::Array: {
        PlistPtr array(plist_new_array());
        for (const Value& item : v.asArray()) {
          PlistPtr node = make(item, depth + 1);
          if (!node) return nullptr;
          plist_array_append_item(array.get(), node.release());
        }
        return array;
      }
      case Value::Type::Dictionary: {
        PlistPtr dict(plist_new_dict());
        for (const auto& [key, item] : v.asDictionary()) {
          if (key.find('\0') != std::string::npos) return fail("key with a NUL character");
          PlistPtr node = make(item, depth + 1);
          if (!node) return nullptr;
          plist_dict_set_item(dict.get(), sanitizedUtf8(key).c_str(), node.release());
        }
        return dict;
      }
      case Value::Type::Nil:
        return fail("nil cannot be stored in a property list");
      case Value::Type::Null:
        return fail("the null marker cannot be stored in a property list");
      case Value::Type::Set:
        return fail("a set cannot be stored in a property list");
      case Value::Type::Object:
        return fail("an object of class " + v.asObject()->objectClass().name() +
                    " cannot be stored in a property list");
    }
    return fail("unsupported value");
  }

  std::string message;

 private:
  PlistPtr fail(std::string m) {
    message = std::move(m);
    return nullptr;
  }
};

}  // namespace

Value propertyListWithData(std::string_view bytes, PropertyListFormat* format, ErrorPtr* error) {
  auto failed = [&](std::string debug) {
    if (error) *error = readError(std::move(debug));
    return Value();
  };
  if (bytes.empty()) return failed("empty property list");
  if (bytes.size() > UINT32_MAX) return failed("property list too large");
  auto length = static_cast<std::uint32_t>(bytes.size());
  bool binary = plist_is_binary(bytes.data(), length) != 0;
  plist_t root = nullptr;
  if (binary) {
    BinaryLayout layout;
    if (!layout.read(bytes) || !binaryStringsAreSafe(layout)) return failed("malformed binary property list");
    std::string why;
    if (!binaryGraphIsBounded(layout, why)) return failed(why);
    plist_from_bin(bytes.data(), length, &root);
  } else {
    // Only XML is understood besides binary; anything not starting like XML is rejected here
    // rather than handed to the XML parser.
    std::size_t k = 0;
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF)
      k = 3;
    while (k < bytes.size() && (bytes[k] == ' ' || bytes[k] == '\t' || bytes[k] == '\r' || bytes[k] == '\n')) ++k;
    if (k >= bytes.size() || bytes[k] != '<') return failed("not a property list");
    // The plist element and a leaf element around the reader's limit of nested containers.
    constexpr int kMaxElementNesting = kPropertyListMaxDepth + 3;
    if (xmlNesting(bytes, kMaxElementNesting) > kMaxElementNesting) return failed("property list nested too deeply");
    plist_from_xml(bytes.data(), length, &root);
  }
  PlistPtr owned(root);
  if (!root) return failed(binary ? "malformed binary property list" : "malformed XML property list");
  Reader reader;
  Value out;
  if (!reader.read(root, 0, out)) return failed(reader.message);
  if (format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::Xml;
  return out;
}

Value propertyListWithData(const Bytes& bytes, PropertyListFormat* format, ErrorPtr* error) {
  return propertyListWithData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), format,
                              error);
}

std::optional<Bytes> dataWithPropertyList(const Value& value, PropertyListFormat format, ErrorPtr* error) {
  Writer writer;
  PlistPtr root = writer.make(value, 0);
  if (!root) {
    if (error) *error = writeError(writer.message);
    return std::nullopt;
  }
  char* out = nullptr;
  std::uint32_t length = 0;
  if (format == PropertyListFormat::Binary)
    plist_to_bin(root.get(), &out, &length);
  else
    plist_to_xml(root.get(), &out, &length);
  if (!out || length == 0) {
    if (out) (format == PropertyListFormat::Binary ? plist_to_bin_free : plist_to_xml_free)(out);
    if (error) *error = writeError("the property list could not be written");
    return std::nullopt;
  }
  Bytes bytes(reinterpret_cast<const std::uint8_t*>(out), reinterpret_cast<const std::uint8_t*>(out) + length);
  (format == PropertyListFormat::Binary ? plist_to_bin_free : plist_to_xml_free)(out);
  return bytes;
}

bool isValidPropertyList(const Value& value) {
  Writer writer;
  return writer.make(value, 0) != nullptr;
}

}  // namespace platform

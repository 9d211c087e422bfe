#include "platform/codecs/json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/system/text.h"

namespace platform {

namespace {

using nlohmann::json;

ErrorPtr jsonError(std::string description, std::string debug) {
  return Error::make(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
                     Value::dictionary({{std::string(kLocalizedDescriptionKey), Value(std::move(description))},
                                        {std::string(kDebugDescriptionErrorKey), Value(std::move(debug))}}));
}

ErrorPtr readError(std::string debug) {
  return jsonError("The data couldn\u2019t be read because it isn\u2019t in the correct format.", std::move(debug));
}

ErrorPtr writeError(std::string debug) {
  return jsonError("The data couldn\u2019t be written because it isn\u2019t in the correct format.", std::move(debug));
}

// Builds Values straight from the parser's events, so nesting is bounded and nothing recursive
// runs over untrusted input.
class Builder : public nlohmann::json_sax<json> {
 public:
  bool null() override { return add(Value::null()); }
  bool boolean(bool b) override { return add(Value(b)); }
  bool number_integer(number_integer_t n) override { return add(Value(static_cast<std::int64_t>(n))); }
  bool number_unsigned(number_unsigned_t n) override {
    if (n <= static_cast<std::uint64_t>(INT64_MAX)) return add(Value(static_cast<std::int64_t>(n)));
    return add(Value(static_cast<std::uint64_t>(n)));
  }
  bool number_float(number_float_t d, const string_t&) override { return add(Value(static_cast<double>(d))); }
  bool string(string_t& s) override { return add(Value(std::move(s))); }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }
  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t& k) override {
    stack_.back().key = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
    if (message_.empty()) message_ = ex.what() + std::string(" (byte ") + std::to_string(position) + ")";
    return false;
  }

  Value result;
  const std::string& message() const { return message_; }

 private:
  struct Frame {
    bool object;
    ValueArray array;
    ValueDictionary dictionary;
    std::string key;
  };

  bool fail(std::string message) {
    if (message_.empty()) message_ = std::move(message);
    return false;
  }
  bool add(Value v) {
    if (stack_.empty()) {
      result = std::move(v);
      return true;
    }
    Frame& f = stack_.back();
    if (f.object)
      f.dictionary.set(std::move(f.key), std::move(v));
    else
      f.array.push_back(std::move(v));
    return true;
  }
  bool open(bool object) {
    if (stack_.size() >= static_cast<std::size_t>(kJsonMaxDepth)) return fail("JSON nested too deeply");
    stack_.push_back(Frame{object, {}, {}, {}});
    return true;
  }
  bool close() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    return add(f.object ? Value(std::move(f.dictionary)) : Value(std::move(f.array)));
  }

  std::vector<Frame> stack_;
  std::string message_;
};

std::string numberText(double d) {
  char buf[40];
  if (d == std::floor(d) && std::fabs(d) < 1e17) {
    std::snprintf(buf, sizeof buf, "%.0f", d);
    return buf;
  }
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

class Writer {
 public:
  explicit Writer(unsigned options) : options_(options) {}

  bool write(const Value& v, int depth) {
    switch (v.type()) {
      case Value::Type::Null:
        out_ += "null";
        return true;
      case Value::Type::Bool:
        out_ += v.asBool() ? "true" : "false";
        return true;
      case Value::Type::Int:
        out_ += std::to_string(v.asInt64());
        return true;
      case Value::Type::UInt:
        out_ += std::to_string(v.asUInt64());
        return true;
      case Value::Type::Double: {
        double d = v.asDouble();
        if (!std::isfinite(d))
          return fail(std::isnan(d) ? "Invalid number value (NaN) in JSON write"
                                    : "Invalid number value (infinite) in JSON write");
        out_ += numberText(d);
        return true;
      }
      case Value::Type::String:
        writeString(v.asString());
        return true;
      case Value::Type::Array: {
        if (depth >= kJsonMaxDepth) return fail("JSON nested too deeply");
        const ValueArray& a = v.asArray();
        out_ += '[';
        for (std::size_t k = 0; k < a.size(); ++k) {
          if (k) out_ += ',';
          newline(depth + 1);
          if (!write(a[k], depth + 1)) return false;
        }
        if (!a.empty()) newline(depth);
        out_ += ']';
        return true;
      }
      case Value::Type::Dictionary: {
        if (depth >= kJsonMaxDepth) return fail("JSON nested too deeply");
        std::vector<const ValueDictionary::Entry*> entries;
        for (const auto& e : v.asDictionary()) entries.push_back(&e);
        if (options_ & kJsonWritingSortedKeys)
          std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
        out_ += '{';
        bool first = true;
        for (const auto* e : entries) {
          if (!first) out_ += ',';
          first = false;
          newline(depth + 1);
          writeString(e->first);
          out_ += (options_ & kJsonWritingPrettyPrinted) ? " : " : ":";
          if (!write(e->second, depth + 1)) return false;
        }
        if (!entries.empty()) newline(depth);
        out_ += '}';
        return true;
      }
      case Value::Type::Nil:
        return fail("Invalid value (nil) in JSON write");
      case Value::Type::Data:
        return fail("Invalid type in JSON write (data)");
      case Value::Type::Date:
        return fail("Invalid type in JSON write (date)");
      case Value::Type::Set:
        return fail("Invalid type in JSON write (set)");
      case Value::Type::Object:
        return fail("Invalid type in JSON write (" + v.asObject()->objectClass().name() + ")");
    }
    return fail("Invalid type in JSON write");
  }

  std::string out_;
  std::string message_;

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }
  void newline(int depth) {
    if (!(options_ & kJsonWritingPrettyPrinted)) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth) * 2, ' ');
  }
  void writeString(std::string_view raw) {
    std::string s = sanitizedUtf8(raw);
    out_ += '"';
    for (char c : s) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '/':
          out_ += (options_ & kJsonWritingWithoutEscapingSlashes) ? "/" : "\\/";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out_ += buf;
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
  }

  unsigned options_;
};

}  // namespace

Value jsonObjectWithData(std::string_view text, unsigned options, ErrorPtr* error) {
  Builder builder;
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json, true);
  } catch (const std::exception& e) {
    // sax_parse reports through the handler; anything else (allocation) still must not escape.
    if (error) *error = readError(e.what());
    return {};
  }
  if (!ok) {
    if (error) *error = readError(builder.message().empty() ? "Invalid JSON" : builder.message());
    return {};
  }
  if (!(options & kJsonReadingFragmentsAllowed) && !builder.result.isArray() && !builder.result.isDictionary()) {
    if (error)
      *error = readError("JSON text did not start with array or object and option to allow fragments not set.");
    return {};
  }
  return std::move(builder.result);
}

Value jsonObjectWithData(const Bytes& json, unsigned options, ErrorPtr* error) {
  return jsonObjectWithData(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()), options, error);
}

std::optional<std::string> jsonStringWithObject(const Value& value, unsigned options, ErrorPtr* error) {
  if (!(options & kJsonWritingFragmentsAllowed) && !value.isArray() && !value.isDictionary()) {
    if (error) *error = writeError("Invalid top-level type in JSON write");
    return std::nullopt;
  }
  Writer writer(options);
  try {
    if (writer.write(value, 0)) return std::move(writer.out_);
  } catch (const std::exception& e) {
    writer.message_ = e.what();
  }
  if (error) *error = writeError(writer.message_);
  return std::nullopt;
}

std::optional<Bytes> jsonDataWithObject(const Value& value, unsigned options, ErrorPtr* error) {
  auto text = jsonStringWithObject(value, options, error);
  if (!text) return std::nullopt;
  return Bytes(text->begin(), text->end());
}

bool isValidJsonObject(const Value& value, unsigned options) {
  return jsonStringWithObject(value, options, nullptr).has_value();
}

}  // namespace platform

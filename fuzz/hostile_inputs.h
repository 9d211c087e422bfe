#pragma once

// Hostile property lists and JSON texts, built byte by byte: the regression tests feed them to the
// readers, and the fuzzers' seed writer puts them in the corpora so mutations start from them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorvel::fuzz {

// A binary property list ("bplist00") from its objects, already encoded, with object 0 at the top.
// References and offsets are written with `width` bytes.
inline std::string binaryPropertyList(const std::vector<std::string>& objects, unsigned width) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  auto bigEndian = [](std::uint64_t value, unsigned bytes) {
    std::string s(bytes, '\0');
    for (unsigned k = 0; k < bytes; ++k) s[bytes - 1 - k] = static_cast<char>((value >> (8 * k)) & 0xFF);
    return s;
  };
  const std::uint64_t tableOffset = out.size();
  for (std::uint64_t offset : offsets) out += bigEndian(offset, width);
  out += std::string(6, '\0');
  out += static_cast<char>(width);  // offset size
  out += static_cast<char>(width);  // reference size
  out += bigEndian(objects.size(), 8);
  out += bigEndian(0, 8);  // top object
  out += bigEndian(tableOffset, 8);
  return out;
}

// An array object of `count` references (count < 15) to `target`, written with `width` bytes.
inline std::string binaryArrayOf(unsigned count, std::uint64_t target, unsigned width) {
  std::string object(1, static_cast<char>(0xA0 | count));
  for (unsigned n = 0; n < count; ++n)
    for (unsigned k = 0; k < width; ++k) object += static_cast<char>((target >> (8 * (width - 1 - k))) & 0xFF);
  return object;
}

// Arrays that each refer to the next one twice: a few bytes per level, twice the values per level
// once every reference is expanded (`levels` of 30 pass 2^30 values).
inline std::string binaryDoublingArrays(unsigned levels) {
  std::vector<std::string> objects;
  for (unsigned level = 0; level < levels; ++level) objects.push_back(binaryArrayOf(2, level + 1, 1));
  objects.push_back(std::string(1, '\x09'));  // true
  return binaryPropertyList(objects, 1);
}

// Arrays nested `depth` deep, each holding the next.
inline std::string binaryNestedArrays(unsigned depth) {
  std::vector<std::string> objects;
  for (unsigned level = 0; level < depth; ++level) objects.push_back(binaryArrayOf(1, level + 1, 4));
  objects.push_back(std::string(1, '\x08'));  // false
  return binaryPropertyList(objects, 4);
}

// An XML property list whose arrays are nested `depth` deep.
inline std::string xmlNestedArrays(std::size_t depth) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  out.reserve(out.size() + depth * 15 + 20);
  for (std::size_t k = 0; k < depth; ++k) out += "<array>";
  out += "<true/>";
  for (std::size_t k = 0; k < depth; ++k) out += "</array>";
  out += "</plist>\n";
  return out;
}

// JSON arrays nested `depth` deep.
inline std::string jsonNestedArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace zorvel::fuzz

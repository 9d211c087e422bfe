// Writes the seed inputs of the JSON or the property-list reader fuzzer into a folder: ordinary
// documents made by the writers, and the hostile shapes the readers must refuse (scaled down to the
// fuzzers' input size).
//   reader_seeds json <folder>
//   reader_seeds property_list <folder>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/hostile_inputs.h"
#include "platform/codecs/json.h"
#include "platform/codecs/property_list.h"

using namespace platform;
using namespace zorvel::fuzz;

namespace {

Value sample() {
  return Value::dictionary({{"string", "caf\xc3\xa9 <&> \"quoted\""},
                            {"negative", -42},
                            {"max", INT64_MAX},
                            {"unsigned", UINT64_MAX},
                            {"real", 0.1},
                            {"yes", true},
                            {"list", Value::array({1, "two", Value::array({}), Value::dictionary({})})},
                            {"nested", Value::dictionary({{"deeper", Value::dictionary({{"k", "v"}})}})}});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s json|property_list <folder>\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const std::string folder = argv[2];
  std::vector<std::pair<std::string, std::string>> seeds;
  if (kind == "json") {
    seeds.emplace_back("sample", *jsonStringWithObject(sample(), kJsonWritingPrettyPrinted));
    seeds.emplace_back("fragment", "\"\\ud83d\\ude00 \\u0000\"");
    seeds.emplace_back("numbers", "[0, -0.0, 1e308, 1e400, 18446744073709551616, -9223372036854775809]");
    seeds.emplace_back("deep", jsonNestedArrays(2000));
  } else if (kind == "property_list") {
    Value value = sample();
    value.set("data", Value(Bytes{0, 1, 2, 255}));
    value.set("date", Value(Date(123456789)));
    for (PropertyListFormat format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
      const Bytes bytes = *dataWithPropertyList(value, format);
      seeds.emplace_back(format == PropertyListFormat::Xml ? "sample.xml" : "sample.bin",
                         std::string(bytes.begin(), bytes.end()));
    }
    seeds.emplace_back("doubling.bin", binaryDoublingArrays(23));
    seeds.emplace_back("deep.bin", binaryNestedArrays(1500));
    seeds.emplace_back("deep.xml", xmlNestedArrays(2000));
  } else {
    std::fprintf(stderr, "unknown reader %s\n", kind.c_str());
    return 2;
  }
  int written = 0;
  for (const auto& [name, bytes] : seeds) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    written += out.good() ? 1 : 0;
  }
  std::printf("%d seeds written\n", written);
  return written == static_cast<int>(seeds.size()) ? 0 : 1;
}

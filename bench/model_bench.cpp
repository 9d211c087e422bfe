// JSON dictionary -> model -> JSON dictionary through MFJSONAdapter, beside the same round trip
// with nlohmann-json into a plain struct and back.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bench/support/compare.h"
#include "model/MFJSONAdapter.h"

using platform::Value;

namespace {

class BenchSkin : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(BenchSkin, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, uuid, setUuid, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, collection, setCollection, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, order, setOrder)
  ZORVEL_PROPERTY(std::int8_t, premium, setPremium)
  ZORVEL_PROPERTY(std::optional<std::string>, city, setCity, platform::Copy)

  platform::ValueDictionary JSONKeyPathsByPropertyKey() const override {
    return {{"uuid", Value("id")},     {"name", Value("name")},       {"collection", Value("collection")},
            {"order", Value("order")}, {"premium", Value("premium")}, {"city", Value("place.city")}};
  }
};

struct PlainSkin {
  std::string uuid, name, collection, city;
  std::int64_t order = 0;
  bool premium = false;
};

void from_json(const nlohmann::json& j, PlainSkin& s) {
  j.at("id").get_to(s.uuid);
  j.at("name").get_to(s.name);
  j.at("collection").get_to(s.collection);
  j.at("order").get_to(s.order);
  s.premium = j.at("premium").get<int>() != 0;
  j.at("place").at("city").get_to(s.city);
}

void to_json(nlohmann::json& j, const PlainSkin& s) {
  j = nlohmann::json{{"id", s.uuid},     {"name", s.name},       {"collection", s.collection},
                     {"order", s.order}, {"premium", s.premium}, {"place", {{"city", s.city}}}};
}

const char* kJSON = R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Sunset","collection":"Nature",)"
                    R"("order":12,"premium":1,"place":{"city":"Oslo"}})";

void BM_MFJSONAdapterRoundTrip(benchmark::State& state) {
  Value json = Value::dictionary({{"id", Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")},
                                  {"name", Value("Sunset")},
                                  {"collection", Value("Nature")},
                                  {"order", Value(12)},
                                  {"premium", Value(1)},
                                  {"place", Value::dictionary({{"city", Value("Oslo")}})}});
  auto adapter = MFJSONAdapter::adapterWithModelClass(BenchSkin::staticClass());
  for (auto _ : state) {
    auto model = adapter->modelFromJSONDictionary(json);
    Value back = adapter->JSONDictionaryFrom(*model);
    benchmark::DoNotOptimize(back);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MFJSONAdapterRoundTrip);

void BM_NlohmannStructRoundTrip(benchmark::State& state) {
  const nlohmann::json json = nlohmann::json::parse(kJSON);
  for (auto _ : state) {
    PlainSkin skin = json.get<PlainSkin>();
    nlohmann::json back = skin;
    benchmark::DoNotOptimize(back);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NlohmannStructRoundTrip);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_MFJSONAdapterRoundTrip", "BM_NlohmannStructRoundTrip", 0}})

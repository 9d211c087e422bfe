// Keyed archive and unarchive of one object with ten properties, coded directly through the
// coder. For context, the same fields through nlohmann-json, and the same archive layout built
// and read as a libplist tree (what the archiver would cost on top of libplist's own codec).

#include <plist/plist.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "bench/support/compare.h"
#include "platform/codecs/keyed_archiver.h"

namespace {

using namespace platform;

class BenchEvent : public Object {
  ZORVEL_CLASS(BenchEvent, Object)

 public:
  std::string identifier = "9F1C6A2E-5B7D-4C3A-8E21-0D4F6B9A7C55";
  std::string title = "Summer holiday";
  std::string note = "Pack the tent and the blue suitcase";
  std::string skin = "sunset";
  double startDate = 812345678.5;
  double endDate = 813345678.25;
  std::int64_t sortIndex = 42;
  std::int64_t repeatInterval = 3;
  bool allDay = true;
  bool pinned = false;

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeInt64(1, "MFModelVersion");
    c.encodeString(identifier, "identifier");
    c.encodeString(title, "title");
    c.encodeString(note, "note");
    c.encodeString(skin, "skin");
    c.encodeDouble(startDate, "startDate");
    c.encodeDouble(endDate, "endDate");
    c.encodeInt64(sortIndex, "sortIndex");
    c.encodeInt64(repeatInterval, "repeatInterval");
    c.encodeBool(allDay, "allDay");
    c.encodeBool(pinned, "pinned");
  }
  bool initWithCoder(KeyedUnarchiver& c) override {
    if (c.decodeInt64("MFModelVersion") > 1) return false;
    identifier = c.decodeString("identifier");
    title = c.decodeString("title");
    note = c.decodeString("note");
    skin = c.decodeString("skin");
    startDate = c.decodeDouble("startDate");
    endDate = c.decodeDouble("endDate");
    sortIndex = c.decodeInt64("sortIndex");
    repeatInterval = c.decodeInt64("repeatInterval");
    allDay = c.decodeBool("allDay");
    pinned = c.decodeBool("pinned");
    return true;
  }
};

void BM_ArchiveObject(benchmark::State& state) {
  Value event(make<BenchEvent>());
  for (auto _ : state) benchmark::DoNotOptimize(KeyedArchiver::archivedData(event));
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes"] = static_cast<double>(KeyedArchiver::archivedData(event).size());
}
BENCHMARK(BM_ArchiveObject);

void BM_UnarchiveObject(benchmark::State& state) {
  Bytes data = KeyedArchiver::archivedData(Value(make<BenchEvent>()));
  for (auto _ : state) {
    Value v = KeyedUnarchiver::unarchivedObject(data);
    if (!v.isObject()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnarchiveObject);

nlohmann::json toJson(const BenchEvent& e) {
  return {{"MFModelVersion", 1},
          {"identifier", e.identifier},
          {"title", e.title},
          {"note", e.note},
          {"skin", e.skin},
          {"startDate", e.startDate},
          {"endDate", e.endDate},
          {"sortIndex", e.sortIndex},
          {"repeatInterval", e.repeatInterval},
          {"allDay", e.allDay},
          {"pinned", e.pinned}};
}

void BM_JsonSerialize(benchmark::State& state) {
  auto event = make<BenchEvent>();
  for (auto _ : state) benchmark::DoNotOptimize(toJson(*event).dump());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JsonSerialize);

void BM_JsonParse(benchmark::State& state) {
  std::string text = toJson(*make<BenchEvent>()).dump();
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(text);
    auto e = make<BenchEvent>();
    e->identifier = j["identifier"].get<std::string>();
    e->title = j["title"].get<std::string>();
    e->note = j["note"].get<std::string>();
    e->skin = j["skin"].get<std::string>();
    e->startDate = j["startDate"].get<double>();
    e->endDate = j["endDate"].get<double>();
    e->sortIndex = j["sortIndex"].get<std::int64_t>();
    e->repeatInterval = j["repeatInterval"].get<std::int64_t>();
    e->allDay = j["allDay"].get<bool>();
    e->pinned = j["pinned"].get<bool>();
    benchmark::DoNotOptimize(e);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JsonParse);

plist_t libplistArchive(const BenchEvent& e) {
  plist_t entry = plist_new_dict();
  plist_dict_set_item(entry, "$c", plist_new_string("BenchEvent"));
  plist_dict_set_item(entry, "MFModelVersion", plist_new_uint(1));
  plist_dict_set_item(entry, "identifier", plist_new_string(e.identifier.c_str()));
  plist_dict_set_item(entry, "title", plist_new_string(e.title.c_str()));
  plist_dict_set_item(entry, "note", plist_new_string(e.note.c_str()));
  plist_dict_set_item(entry, "skin", plist_new_string(e.skin.c_str()));
  plist_dict_set_item(entry, "startDate", plist_new_real(e.startDate));
  plist_dict_set_item(entry, "endDate", plist_new_real(e.endDate));
  plist_dict_set_item(entry, "sortIndex", plist_new_uint(static_cast<std::uint64_t>(e.sortIndex)));
  plist_dict_set_item(entry, "repeatInterval", plist_new_uint(static_cast<std::uint64_t>(e.repeatInterval)));
  plist_dict_set_item(entry, "allDay", plist_new_bool(e.allDay));
  plist_dict_set_item(entry, "pinned", plist_new_bool(e.pinned));
  plist_t objects = plist_new_array();
  plist_array_append_item(objects, entry);
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "$v", plist_new_uint(1));
  plist_dict_set_item(root, "$objects", objects);
  plist_dict_set_item(root, "$top", plist_new_uid(1));
  return root;
}

void BM_LibplistArchive(benchmark::State& state) {
  auto event = make<BenchEvent>();
  for (auto _ : state) {
    plist_t root = libplistArchive(*event);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    benchmark::DoNotOptimize(bin);
    std::free(bin);
    plist_free(root);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibplistArchive);

void BM_LibplistUnarchive(benchmark::State& state) {
  plist_t tree = libplistArchive(*make<BenchEvent>());
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(tree, &bin, &length);
  plist_free(tree);
  auto text = [](plist_t entry, const char* key) {
    char* s = nullptr;
    plist_get_string_val(plist_dict_get_item(entry, key), &s);
    std::string out = s ? s : "";
    std::free(s);
    return out;
  };
  for (auto _ : state) {
    plist_t root = nullptr;
    plist_from_bin(bin, length, &root);
    plist_t entry = plist_array_get_item(plist_dict_get_item(root, "$objects"), 0);
    auto e = make<BenchEvent>();
    e->identifier = text(entry, "identifier");
    e->title = text(entry, "title");
    e->note = text(entry, "note");
    e->skin = text(entry, "skin");
    plist_get_real_val(plist_dict_get_item(entry, "startDate"), &e->startDate);
    plist_get_real_val(plist_dict_get_item(entry, "endDate"), &e->endDate);
    std::uint64_t u = 0;
    plist_get_uint_val(plist_dict_get_item(entry, "sortIndex"), &u);
    e->sortIndex = static_cast<std::int64_t>(u);
    plist_get_uint_val(plist_dict_get_item(entry, "repeatInterval"), &u);
    e->repeatInterval = static_cast<std::int64_t>(u);
    std::uint8_t b = 0;
    plist_get_bool_val(plist_dict_get_item(entry, "allDay"), &b);
    e->allDay = b;
    plist_get_bool_val(plist_dict_get_item(entry, "pinned"), &b);
    e->pinned = b;
    benchmark::DoNotOptimize(e);
    plist_free(root);
  }
  std::free(bin);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibplistUnarchive);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_ArchiveObject", "BM_JsonSerialize", 0},
                   {"BM_UnarchiveObject", "BM_JsonParse", 0},
                   {"BM_ArchiveObject", "BM_LibplistArchive", 0},
                   {"BM_UnarchiveObject", "BM_LibplistUnarchive", 0}})

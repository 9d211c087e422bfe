// JSON text from outside into models: arbitrary bytes are read as JSON, and whatever dictionary or
// array comes out is mapped into models of a small class tree (key paths, a nested model, an array
// of models, URLs, booleans, numbers and dates through formatters). The adapter must answer with a
// model or an error, never crash, hang, recurse without bound or leak; a model it made must map
// back to JSON without failing.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/MFJSONAdapter.h"
#include "platform/codecs/json.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueDictionary;

namespace {

class FuzzLeafModel : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(FuzzLeafModel, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::shared_ptr<MFURL>, link, setLink)
  ZORVEL_PROPERTY(std::int8_t, enabled, setEnabled)
  ZORVEL_PROPERTY(Value, count, setCount)

  ValueDictionary JSONKeyPathsByPropertyKey() const override {
    return {{"name", Value("name")}, {"link", Value("link")}, {"enabled", Value("on")}, {"count", Value("n.count")}};
  }
  MFValueTransformerPtr JSONTransformerForKey(std::string_view key) const override {
    if (key == "count")
      return MFValueTransformerBase::mf_numberTransformerWithNumberStyle(platform::NumberFormatterStyle::Decimal,
                                                                         std::string("en_US"));
    return nullptr;
  }
};

class FuzzTreeModel : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(FuzzTreeModel, MFModel)

 public:
  ZORVEL_PROPERTY(std::shared_ptr<FuzzLeafModel>, leaf, setLeaf)
  ZORVEL_PROPERTY(Value, leaves, setLeaves)
  ZORVEL_PROPERTY(Value, range, setRange)
  ZORVEL_PROPERTY(std::optional<std::string>, label, setLabel)

  ValueDictionary JSONKeyPathsByPropertyKey() const override {
    return {{"leaf", Value("leaf")},
            {"leaves", Value("all.leaves")},
            {"range", Value::array({Value("from"), Value("span.to")})},
            {"label", Value("label")}};
  }
  MFValueTransformerPtr JSONTransformerForKey(std::string_view key) const override {
    if (key == "leaves") return MFJSONAdapter::arrayTransformerWithModelClass(FuzzLeafModel::staticClass());
    return nullptr;
  }
  // A model of either class, chosen by the dictionary's "kind".
  std::optional<const platform::Class*> classForParsingJSONDictionary(const Value& json) const override {
    if (json["kind"] == Value("leaf")) return &FuzzLeafModel::staticClass();
    if (json["kind"] == Value("none")) return nullptr;
    return std::nullopt;
  }
};

// Mapping back may refuse (a value no transformer can reverse); it must not crash.
void mapBack(const MFModel& model) {
  ErrorPtr error;
  (void)MFJSONAdapter::JSONDictionaryFromModel(model, &error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ErrorPtr readError;
  const Value root = platform::jsonObjectWithData(std::string_view(reinterpret_cast<const char*>(data), size),
                                                  platform::kJsonReadingFragmentsAllowed, &readError);
  if (root.isNil()) return 0;
  if (root.isArray()) {
    ErrorPtr error;
    const Value models = MFJSONAdapter::modelsOfClass(FuzzTreeModel::staticClass(), root, &error);
    if (models.isArray()) {
      ErrorPtr backError;
      (void)MFJSONAdapter::JSONArrayFromModels(models, &backError);
    }
    return 0;
  }
  ErrorPtr error;
  auto model = MFJSONAdapter::modelOfClass(FuzzTreeModel::staticClass(), root, &error);
  if (model) mapBack(*model);
  return 0;
}

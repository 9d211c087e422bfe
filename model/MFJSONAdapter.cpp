#include "model/MFJSONAdapter.h"

#include <algorithm>
#include <mutex>

#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"
#include "platform/system/locks.h"

using platform::Class;
using platform::ErrorPtr;
using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

namespace {

ErrorPtr adapterError(std::int64_t code, std::string description, std::string reason) {
  ValueDictionary info;
  info.set(std::string(platform::kLocalizedDescriptionKey), std::move(description));
  info.set(std::string(platform::kLocalizedFailureReasonErrorKey), std::move(reason));
  return platform::Error::make(std::string(MFJSONAdapterErrorDomain), code, Value(std::move(info)));
}

const MFJSONSerializing* serializing(const Class& cls) {
  return dynamic_cast<const MFJSONSerializing*>(MFModel::forClass(cls));
}

std::vector<std::string_view> splitKeyPath(std::string_view keyPath) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = keyPath.find('.', start);
    components.push_back(keyPath.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return components;
}

// Writes `value` at the path, making empty dictionaries for missing components; a nil value
// removes the last component. A component that holds something other than a dictionary cannot
// be descended into: NSUnknownKeyException, as key-value coding answers there.
void setValueAtKeyPath(Value& dictionary, const std::vector<std::string_view>& components, std::size_t index,
                       const Value& value) {
  std::string key(components[index]);
  if (index + 1 == components.size()) {
    if (value.isNil())
      dictionary.removeKey(key);
    else
      dictionary.set(std::move(key), value);
    return;
  }
  Value child = dictionary[key];
  if (child.isNil()) child = Value(ValueDictionary());
  if (!child.isDictionary()) {
    platform::Exception::raiseFormat(platform::kUndefinedKeyException,
                                     "[<%@> setValue:forUndefinedKey:]: this class is not key value coding-compliant "
                                     "for the key %@.",
                                     platform::classOfValue(child).name(), components[index + 1]);
  }
  dictionary.removeKey(key);  // leaves `child` as the only owner, so its edit copies nothing
  setValueAtKeyPath(child, components, index + 1, value);
  dictionary.set(std::move(key), std::move(child));
}

Value transformerFail(bool& success, ErrorPtr* error, const char* description, std::string reason, const Value& input) {
  success = false;
  if (error) *error = MFTransformerError(description, std::move(reason), input);
  return Value();
}

// Shared by the two blocks of a dictionary transformer: its adapter, made on first use.
struct LazyAdapter {
  const Class* modelClass;
  const Class* adapterClass;
  std::once_flag once;
  std::shared_ptr<MFJSONAdapter> adapter;
  MFJSONAdapter* get() {
    std::call_once(once, [this] { adapter = MFJSONAdapter::adapterWithModelClass(*modelClass, *adapterClass); });
    return adapter.get();
  }
};

}  // namespace

// --- Key paths -----------------------------------------------------------------------------------

Value mf_valueForJSONKeyPath(const Value& dictionary, std::string_view keyPath, bool* success, ErrorPtr* error) {
  Value current = dictionary;
  for (std::string_view component : splitKeyPath(keyPath)) {
    if (current.isNil() || current.isNull()) break;
    if (!current.isDictionary()) {
      if (error) {
        *error = adapterError(MFJSONAdapterErrorInvalidJSONDictionary, "Invalid JSON dictionary",
                              platform::format("JSON key path %1$@ could not resolved because an incompatible JSON "
                                               "dictionary was supplied: \"%2$@\"",
                                               keyPath, dictionary));
      }
      if (success) *success = false;
      return Value();
    }
    current = current[component];
  }
  if (success) *success = true;
  return current;
}

ValueDictionary mf_identityPropertyMapWithModel(const Class& modelClass) {
  ValueDictionary map;
  if (const MFModel* model = MFModel::forClass(modelClass)) {
    for (const std::string& key : model->propertyKeys()) map.set(key, Value(key));
  }
  return map;
}

// --- Transformers --------------------------------------------------------------------------------

MFValueTransformerPtr MFJSONAdapter::NSURLJSONTransformer() {
  return MFValueTransformerBase::valueTransformerForName(MFURLValueTransformerName);
}

MFValueTransformerPtr MFJSONAdapter::NSUUIDJSONTransformer() {
  return MFValueTransformerBase::valueTransformerForName(MFUUIDValueTransformerName);
}

namespace {
[[maybe_unused]] const bool gAdapterClassMethods = [] {
  const Class& cls = MFJSONAdapter::staticClass();
  cls.addClassMethod("NSURLJSONTransformer", [](const Class&, const std::vector<Value>&) {
    return Value(MFJSONAdapter::NSURLJSONTransformer());
  });
  cls.addClassMethod("NSUUIDJSONTransformer", [](const Class&, const std::vector<Value>&) {
    return Value(MFJSONAdapter::NSUUIDJSONTransformer());
  });
  return true;
}();
}  // namespace

MFValueTransformerPtr MFJSONAdapter::transformerForModelPropertiesOfClass(const Class& cls, const Class& adapterClass) {
  auto selector = mf_selectorWithKeySuffix(cls.name(), "JSONTransformer");
  if (!selector || !adapterClass.respondsToSelector(*selector)) return nullptr;
  return adapterClass.perform(*selector, {}).as<MFValueTransformerBase>();
}

MFValueTransformerPtr MFJSONAdapter::transformerForModelPropertiesOfObjCType(std::string_view typeEncoding) {
  if (typeEncoding == "c" || typeEncoding == "B")
    return MFValueTransformerBase::valueTransformerForName(MFBooleanValueTransformerName);
  return nullptr;
}

MFValueTransformersByKey MFJSONAdapter::valueTransformersForModelClass(const Class& modelClass,
                                                                       const Class& adapterClass) {
  MFValueTransformersByKey result;
  const MFModel* model = MFModel::forClass(modelClass);
  if (!model) return result;
  const MFJSONSerializing* json = dynamic_cast<const MFJSONSerializing*>(model);
  for (const std::string& key : model->propertyKeys()) {
    auto selector = mf_selectorWithKeySuffix(key, "JSONTransformer");
    if (selector && modelClass.respondsToSelector(*selector)) {
      if (auto transformer = modelClass.perform(*selector, {}).as<MFValueTransformerBase>()) result[key] = transformer;
      continue;
    }
    if (json) {
      if (auto transformer = json->JSONTransformerForKey(key)) {
        result[key] = transformer;
        continue;
      }
    }
    const platform::Property* property = modelClass.property(key);
    if (!property) continue;
    auto attributes = mf_parsePropertyAttributes(*property);
    if (!attributes) continue;
    MFValueTransformerPtr transformer;
    if (!attributes->type.empty() && attributes->type[0] == '@') {
      if (const Class* declared = attributes->objectClass) {
        transformer = transformerForModelPropertiesOfClass(*declared, adapterClass);
        if (!transformer && serializing(*declared))
          transformer = dictionaryTransformerWithModelClass(*declared, adapterClass);
      }
      if (!transformer) {
        const Class& cls = attributes->objectClass ? *attributes->objectClass : platform::Object::staticClass();
        transformer = MFValueTransformerBase::mf_validatingTransformerForClass(cls);
      }
    } else {
      transformer = transformerForModelPropertiesOfObjCType(attributes->type);
      if (!transformer) transformer = MFValueTransformerBase::mf_validatingTransformerForClass(MFValueClass());
    }
    if (transformer) result[key] = transformer;
  }
  return result;
}

std::shared_ptr<MFReversibleValueTransformer> MFJSONAdapter::dictionaryTransformerWithModelClass(
    const Class& modelClass, const Class& adapterClass) {
  auto lazy = std::make_shared<LazyAdapter>();
  lazy->modelClass = &modelClass;
  lazy->adapterClass = &adapterClass;
  return MFValueTransformer::transformerUsingForwardBlock(
      [lazy](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        if (!value.isDictionary()) {
          return transformerFail(success, error, "Could not convert JSON dictionary to model object",
                                 platform::format("Expected an NSDictionary, got: %@", value), value);
        }
        MFJSONAdapter* adapter = lazy->get();
        auto model = adapter ? adapter->modelFromJSONDictionary(value, error) : nullptr;
        if (!model) success = false;
        return Value(model);
      },
      [lazy](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        auto model = value.as<MFModel>();
        if (!model || !dynamic_cast<const MFJSONSerializing*>(model.get())) {
          return transformerFail(
              success, error, "Could not convert model object to JSON dictionary",
              platform::format("Expected a MFModel object conforming to <MFJSONSerializing>, got: %@.", value), value);
        }
        MFJSONAdapter* adapter = lazy->get();
        Value json = adapter ? adapter->JSONDictionaryFrom(*model, error) : Value();
        if (json.isNil()) success = false;
        return json;
      });
}

std::shared_ptr<MFReversibleValueTransformer> MFJSONAdapter::arrayTransformerWithModelClass(const Class& modelClass,
                                                                                            const Class& adapterClass) {
  std::shared_ptr<MFReversibleValueTransformer> dictionaryTransformer =
      dictionaryTransformerWithModelClass(modelClass, adapterClass);
  return MFValueTransformer::transformerUsingForwardBlock(
      [dictionaryTransformer](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        const char* description = "Could not convert JSON array to model array";
        if (!value.isArray()) {
          return transformerFail(success, error, description, platform::format("Expected an NSArray, got: %@.", value),
                                 value);
        }
        ValueArray models;
        models.reserve(value.count());
        for (const Value& element : value.asArray()) {
          if (element.isNull()) {
            models.push_back(Value::null());
            continue;
          }
          if (!element.isDictionary()) {
            return transformerFail(success, error, description,
                                   platform::format("Expected an NSDictionary or an NSNull, got: %@.", element),
                                   element);
          }
          Value model = dictionaryTransformer->transformedValue(element, &success, error);
          if (!success) return Value();
          if (!model.isNil()) models.push_back(std::move(model));
        }
        return Value(std::move(models));
      },
      [dictionaryTransformer](const Value& value, bool& success, ErrorPtr* error) -> Value {
        if (value.isNil()) return Value();
        const char* description = "Could not convert model array to JSON array";
        if (!value.isArray()) {
          return transformerFail(success, error, description, platform::format("Expected an NSArray, got: %@.", value),
                                 value);
        }
        ValueArray dictionaries;
        dictionaries.reserve(value.count());
        for (const Value& element : value.asArray()) {
          if (element.isNull()) {
            dictionaries.push_back(Value::null());
            continue;
          }
          if (!element.as<MFModel>()) {
            return transformerFail(success, error, description,
                                   platform::format("Expected a MFModel or an NSNull, got: %@.", element), element);
          }
          Value json = dictionaryTransformer->reverseTransformedValue(element, &success, error);
          if (!success) return Value();
          if (!json.isNil()) dictionaries.push_back(std::move(json));
        }
        return Value(std::move(dictionaries));
      });
}

// --- Adapters ------------------------------------------------------------------------------------

std::shared_ptr<MFJSONAdapter> MFJSONAdapter::adapterWithModelClass(const Class& modelClass,
                                                                    const Class& adapterClass) {
  auto adapter = std::dynamic_pointer_cast<MFJSONAdapter>(adapterClass.makeInstance());
  if (!adapter || !adapter->initWithModelClass(modelClass)) return nullptr;
  return adapter;
}

bool MFJSONAdapter::initWithModelClass(const Class& modelClass) {
  const MFModel* model = MFModel::forClass(modelClass);
  const MFJSONSerializing* json = dynamic_cast<const MFJSONSerializing*>(model);
  if (!json) return false;  // not a model class that maps to JSON
  modelClass_ = &modelClass;
  keyPaths_ = json->JSONKeyPathsByPropertyKey();
  const std::vector<std::string> propertyKeys = model->propertyKeys();
  for (const auto& [key, path] : keyPaths_) {
    if (std::find(propertyKeys.begin(), propertyKeys.end(), key) == propertyKeys.end()) return false;
    if (path.isArray()) {
      for (const Value& element : path.asArray())
        if (!element.isString()) return false;
    } else if (!path.isString()) {
      return false;
    }
  }
  transformers_ = valueTransformersForModelClass(modelClass, objectClass());
  return true;
}

std::shared_ptr<MFJSONAdapter> MFJSONAdapter::JSONAdapterForModelClass(const Class& modelClass, ErrorPtr*) const {
  platform::MutexLock lock(monitor());
  auto it = adapters_.find(&modelClass);
  if (it != adapters_.end()) return it->second;
  auto adapter = adapterWithModelClass(modelClass, objectClass());
  if (adapter) adapters_[&modelClass] = adapter;
  return adapter;
}

std::vector<std::string> MFJSONAdapter::serializablePropertyKeys(const std::vector<std::string>& keys,
                                                                 const MFModel&) const {
  return keys;
}

std::shared_ptr<MFModel> MFJSONAdapter::modelFromJSONDictionary(const Value& JSONDictionary, ErrorPtr* error) const {
  const MFJSONSerializing* json = serializing(*modelClass_);
  if (auto chosen = json->classForParsingJSONDictionary(JSONDictionary)) {
    if (!*chosen) {
      if (error) {
        *error = adapterError(MFJSONAdapterErrorNoClassFound, "Could not parse JSON",
                              "No model class could be found to parse the JSON dictionary.");
      }
      return nullptr;
    }
    if (*chosen != modelClass_) {
      auto adapter = JSONAdapterForModelClass(**chosen, error);
      return adapter ? adapter->modelFromJSONDictionary(JSONDictionary, error) : nullptr;
    }
  }

  ValueDictionary values;
  for (const std::string& key : MFModel::forClass(*modelClass_)->propertyKeys()) {
    const Value* keyPaths = keyPaths_.find(key);
    if (!keyPaths) continue;
    Value value;
    if (keyPaths->isString()) {
      bool success = false;
      value = mf_valueForJSONKeyPath(JSONDictionary, keyPaths->asString(), &success, error);
      if (!success) return nullptr;
    } else {
      ValueDictionary byPath;
      for (const Value& path : keyPaths->asArray()) {
        bool success = false;
        Value found = mf_valueForJSONKeyPath(JSONDictionary, path.asString(), &success, error);
        if (!success) return nullptr;
        if (!found.isNil()) byPath.set(path.asString(), std::move(found));
      }
      value = Value(std::move(byPath));
    }
    if (value.isNil()) continue;

    try {
      auto it = transformers_.find(key);
      if (it != transformers_.end() && it->second) {
        const MFValueTransformerBase& transformer = *it->second;
        if (value.isNull()) value = Value();
        if (auto* handling = dynamic_cast<const MFTransformerErrorHandling*>(&transformer)) {
          bool success = true;
          value = handling->transformedValue(value, &success, error);
          if (!success) return nullptr;
        } else {
          value = transformer.transformedValue(value);
        }
        if (value.isNil()) value = Value::null();
      }
      values.set(key, std::move(value));
    } catch (const platform::Exception& exception) {
      ZORVEL_DIAGNOSTIC_ERROR(platform::format("*** Caught exception %@ parsing JSON key path \"%@\" from: %@",
                                               exception, *keyPaths, JSONDictionary));
      if (error) {
        ValueDictionary info;
        info.set(std::string(platform::kLocalizedDescriptionKey),
                 platform::format("Caught exception parsing JSON key path \"%@\" for model class: %@", *keyPaths,
                                  modelClass_->name()));
        info.set(std::string(platform::kLocalizedRecoverySuggestionErrorKey), exception.description());
        info.set(std::string(platform::kLocalizedFailureReasonErrorKey), exception.reason());
        info.set(std::string(MFJSONAdapterThrownExceptionErrorKey),
                 Value(platform::make<MFThrownException>(exception)));
        *error = platform::Error::make(std::string(MFJSONAdapterErrorDomain), MFJSONAdapterErrorExceptionThrown,
                                       Value(std::move(info)));
      }
      return nullptr;
    }
  }

  auto model = MFModel::modelWithDictionary(*modelClass_, values, error);
  if (!model || !model->validate(error)) return nullptr;
  return model;
}

Value MFJSONAdapter::JSONDictionaryFrom(const MFModel& model, ErrorPtr* error) const {
  if (&model.objectClass() != modelClass_) {
    auto adapter = JSONAdapterForModelClass(model.objectClass(), error);
    return adapter ? adapter->JSONDictionaryFrom(model, error) : Value();
  }
  std::vector<std::string> keys = serializablePropertyKeys(keyPaths_.keys(), model);
  ValueDictionary values = model.dictionaryWithValuesForKeys(keys);

  Value result{ValueDictionary()};
  bool success = true;
  ErrorPtr sharedError;
  for (const auto& [key, original] : values) {
    const Value* keyPaths = keyPaths_.find(key);
    if (!keyPaths) continue;
    Value value = original;
    auto it = transformers_.find(key);
    if (it != transformers_.end() && it->second && it->second->allowsReverseTransformation()) {
      const MFValueTransformerBase& transformer = *it->second;
      if (value.isNull()) value = Value();
      auto* handling = dynamic_cast<const MFTransformerErrorHandling*>(&transformer);
      if (handling && handling->respondsToReverseTransformedValueWithError()) {
        value = handling->reverseTransformedValue(value, &success, &sharedError);
        if (!success) break;
      } else {
        value = transformer.reverseTransformedValue(value);
      }
      if (value.isNil()) value = Value::null();
    }
    if (keyPaths->isString()) {
      setValueAtKeyPath(result, splitKeyPath(keyPaths->asString()), 0, value);
    } else {
      for (const Value& path : keyPaths->asArray()) {
        setValueAtKeyPath(result, splitKeyPath(path.asString()), 0, value[path.asString()]);
      }
    }
  }
  if (!success) {
    if (error) *error = sharedError;
    return Value();
  }
  return result;
}

// --- One-shot conversions ------------------------------------------------------------------------

std::shared_ptr<MFModel> MFJSONAdapter::modelOfClass(const Class& modelClass, const Value& JSONDictionary,
                                                     ErrorPtr* error) {
  auto adapter = adapterWithModelClass(modelClass);
  return adapter ? adapter->modelFromJSONDictionary(JSONDictionary, error) : nullptr;
}

Value MFJSONAdapter::modelsOfClass(const Class& modelClass, const Value& JSONArray, ErrorPtr* error) {
  if (!JSONArray.isArray()) {
    if (error) {
      *error = adapterError(MFJSONAdapterErrorInvalidJSONDictionary, "Missing JSON array",
                            platform::format("%@ could not be created because an invalid JSON array was provided: %@",
                                             modelClass.name(), platform::classOfValue(JSONArray).name()));
    }
    return Value();
  }
  ValueArray models;
  models.reserve(JSONArray.count());
  for (const Value& element : JSONArray.asArray()) {
    auto model = modelOfClass(modelClass, element, error);
    if (!model) return Value();
    models.push_back(Value(model));
  }
  return Value(std::move(models));
}

Value MFJSONAdapter::JSONDictionaryFromModel(const MFModel& model, ErrorPtr* error) {
  auto adapter = adapterWithModelClass(model.objectClass());
  return adapter ? adapter->JSONDictionaryFrom(model, error) : Value();
}

Value MFJSONAdapter::JSONArrayFromModels(const Value& models, ErrorPtr* error) {
  ValueArray dictionaries;
  for (const Value& element : models.asArray()) {
    auto model = element.as<MFModel>();
    Value json = model ? JSONDictionaryFromModel(*model, error) : Value();
    if (json.isNil()) return Value();
    dictionaries.push_back(std::move(json));
  }
  return Value(std::move(dictionaries));
}

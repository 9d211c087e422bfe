#include "DizEvozidiz/DizEvozidizSerializers.h"

#include <cstring>

#include "platform/codecs/keyed_archiver.h"
#include "platform/codecs/property_list.h"

const DizEvozidizSerializer& DizEvozidizSerializers::defaultSerializer() {
  static const DizEvozidizSerializer serializer = [](const std::string&, const std::string&,
                                                     const platform::Value& object) {
    return platform::KeyedArchiver::archivedData(object);
  };
  return serializer;
}

const DizEvozidizDeserializer& DizEvozidizSerializers::defaultDeserializer() {
  static const DizEvozidizDeserializer deserializer = [](const std::string&, const std::string&,
                                                         std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return platform::Value();
    return platform::KeyedUnarchiver::unarchivedObject(bytes);
  };
  return deserializer;
}

const DizEvozidizSerializer& DizEvozidizSerializers::propertyListSerializer() {
  static const DizEvozidizSerializer serializer = [](const std::string&, const std::string&,
                                                     const platform::Value& object) {
    return platform::dataWithPropertyList(object, platform::PropertyListFormat::Binary).value_or(platform::Bytes());
  };
  return serializer;
}

const DizEvozidizDeserializer& DizEvozidizSerializers::propertyListDeserializer() {
  static const DizEvozidizDeserializer deserializer = [](const std::string&, const std::string&,
                                                         std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return platform::Value();
    return platform::propertyListWithData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  };
  return deserializer;
}

const DizEvozidizSerializer& DizEvozidizSerializers::timestampSerializer() {
  static const DizEvozidizSerializer serializer = [](const std::string& collection, const std::string& key,
                                                     const platform::Value& object) {
    if (!object.isDate()) return defaultSerializer()(collection, key, object);
    const double seconds = object.asDate().timeIntervalSinceReferenceDate();
    platform::Bytes bytes(sizeof seconds);
    std::memcpy(bytes.data(), &seconds, sizeof seconds);
    return bytes;
  };
  return serializer;
}

const DizEvozidizDeserializer& DizEvozidizSerializers::timestampDeserializer() {
  static const DizEvozidizDeserializer deserializer = [](const std::string& collection, const std::string& key,
                                                         std::span<const std::uint8_t> bytes) {
    if (bytes.size() != sizeof(double)) return defaultDeserializer()(collection, key, bytes);
    double seconds;
    std::memcpy(&seconds, bytes.data(), sizeof seconds);
    return platform::Value(platform::Date(seconds));
  };
  return deserializer;
}

#pragma once

// Codable classes registered in the fuzz programs, so that archives can name them and the
// unarchiver's object paths (sharing, cycles, conditional references, restricted decodes,
// declining initWithCoder) get exercised.

#include <memory>
#include <string>
#include <vector>

#include "platform/codecs/keyed_archiver.h"

namespace zorvel::fuzz {

class FuzzLeaf : public platform::Object {
  ZORVEL_CLASS(FuzzLeaf, platform::Object)

 public:
  std::int64_t number = 0;
  std::string text;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& c) const override {
    c.encodeInt64(number, "n");
    c.encodeString(text, "t");
  }
  bool initWithCoder(platform::KeyedUnarchiver& c) override {
    number = c.decodeInt64("n");
    text = c.decodeString("t");
    return number >= 0;  // a negative number declines
  }
};

class FuzzNode : public platform::Object {
  ZORVEL_CLASS(FuzzNode, platform::Object)

 public:
  // Every node decoded by the current input, so that cycles among them can be broken afterwards.
  static std::vector<std::weak_ptr<FuzzNode>>& decodedNodes() {
    static std::vector<std::weak_ptr<FuzzNode>> nodes;
    return nodes;
  }

  std::string name;
  bool flag = false;
  double ratio = 0;
  platform::Bytes blob;
  platform::Value payload;
  platform::ObjectPtr child;
  std::weak_ptr<platform::Object> parent;

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& c) const override {
    c.encodeString(name, "name");
    c.encodeBool(flag, "flag");
    c.encodeDouble(ratio, "ratio");
    c.encodeData(blob, "blob");
    c.encodeValue(payload, "payload");
    c.encodeObject(child, "child");
    c.encodeConditionalObject(parent.lock(), "parent");
  }
  bool initWithCoder(platform::KeyedUnarchiver& c) override {
    decodedNodes().push_back(std::static_pointer_cast<FuzzNode>(shared_from_this()));
    name = c.decodeString("name");
    flag = c.decodeBool("flag");
    ratio = c.decodeDouble("ratio");
    blob = c.decodeData("blob");
    payload = c.decodeValue("payload");
    platform::AllowedClasses allowed = platform::AllowedClasses::plainValues();
    allowed.addClass(FuzzNode::staticClass()).addClass(FuzzLeaf::staticClass());
    child = c.decodeObjectOfClasses(allowed, "child").asObject();
    parent = c.decodeObject("parent");
    if (c.containsValue("$fail")) c.failWithError(platform::Error::make("fuzz", 1));
    return true;
  }

  // Drops the strong references of every node decoded so far (cycles would otherwise leak).
  static void breakCycles() {
    for (auto& weak : decodedNodes())
      if (auto node = weak.lock()) {
        node->payload = platform::Value();
        node->child.reset();
      }
    decodedNodes().clear();
  }
};

}  // namespace zorvel::fuzz

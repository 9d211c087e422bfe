#pragma once

// The object runtime's base: every class of the system that needs identity derives from Object
// and is described by a Class registered by name.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Object;
class Class;
class KeyedArchiver;
class KeyedUnarchiver;
using ObjectPtr = std::shared_ptr<Object>;

// Describes one registered class: its name, its superclass and how to make an instance of it.
// Classes live for the whole process; pointers to them never dangle.
class Class {
 public:
  using Factory = std::function<ObjectPtr()>;

  Class(std::string name, const Class* superclass, Factory factory);
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  const std::string& name() const { return name_; }
  const Class* superclass() const { return superclass_; }
  bool isSubclassOf(const Class& other) const;  // true for the class itself too

  // A fresh, default-initialised instance made through the object factory; nullptr when the
  // class cannot be instantiated by name (abstract classes).
  ObjectPtr makeInstance() const;

  // The registered class with this name, or nullptr.
  static const Class* named(std::string_view name);
  static std::vector<const Class*> allClasses();

 private:
  std::string name_;
  const Class* superclass_;
  Factory factory_;
};

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object();

  // The class of the most derived type.
  virtual const Class& objectClass() const;
  static const Class& staticClass();

  bool isKindOf(const Class& cls) const { return objectClass().isSubclassOf(cls); }
  bool isMemberOf(const Class& cls) const { return &objectClass() == &cls; }

  // Default: "<ClassName: 0x...>".
  virtual std::string description() const;
  // Default: identity.
  virtual bool isEqual(const Object& other) const;
  // Default: derived from the address.
  virtual std::size_t hash() const;

  // Keyed archiving. An object that can be archived overrides both; initWithCoder runs on a fresh
  // instance from Class::makeInstance and returns false when the archive cannot be decoded.
  virtual bool supportsCoding() const { return false; }
  virtual void encodeWithCoder(KeyedArchiver& coder) const;
  virtual bool initWithCoder(KeyedUnarchiver& coder);

 protected:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
};

}  // namespace platform

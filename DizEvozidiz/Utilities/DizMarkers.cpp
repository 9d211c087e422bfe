#include "DizEvozidiz/Utilities/DizMarkers.h"

const std::shared_ptr<DizNull>& DizNull::null() {
  static const std::shared_ptr<DizNull> instance = platform::makePlain<DizNull>();
  return instance;
}

const platform::Value& DizNull::value() {
  static const platform::Value v(null());
  return v;
}

bool DizNull::isNull(const platform::Value& value) { return value.isObject() && value.asObject() == null(); }

const platform::Class& DizNull::staticClass() {
  static const platform::Class* cls = new platform::Class("DizNull", &platform::Object::staticClass(), nullptr);
  return *cls;
}

const platform::Class& DizNull::objectClass() const { return staticClass(); }

const std::shared_ptr<DizTouch>& DizTouch::touch() {
  static const std::shared_ptr<DizTouch> instance = platform::makePlain<DizTouch>();
  return instance;
}

const platform::Value& DizTouch::value() {
  static const platform::Value v(touch());
  return v;
}

bool DizTouch::isTouch(const platform::Value& value) { return value.isObject() && value.asObject() == touch(); }

const platform::Class& DizTouch::staticClass() {
  static const platform::Class* cls =
      new platform::Class("DizTouch", &platform::Object::staticClass(), [] { return platform::makePlain<DizTouch>(); });
  return *cls;
}

const platform::Class& DizTouch::objectClass() const { return staticClass(); }

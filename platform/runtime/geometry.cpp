#include "platform/runtime/geometry.h"

#include <functional>

#include "platform/runtime/format.h"

namespace platform {

BoxedValuePtr BoxedValue::valueWithPoint(Point point) { return make<BoxedValue>(Storage(point)); }
BoxedValuePtr BoxedValue::valueWithSize(Size size) { return make<BoxedValue>(Storage(size)); }
BoxedValuePtr BoxedValue::valueWithRect(Rect rect) { return make<BoxedValue>(Storage(rect)); }
BoxedValuePtr BoxedValue::valueWithEdgeInsets(EdgeInsets insets) { return make<BoxedValue>(Storage(insets)); }

const char* BoxedValue::typeEncoding() const {
  static constexpr const char* kEncodings[] = {kPointTypeEncoding, kSizeTypeEncoding, kRectTypeEncoding,
                                               kEdgeInsetsTypeEncoding};
  return kEncodings[value_.index()];
}

Point BoxedValue::pointValue() const {
  const Point* p = std::get_if<Point>(&value_);
  return p ? *p : Point{};
}

Size BoxedValue::sizeValue() const {
  const Size* s = std::get_if<Size>(&value_);
  return s ? *s : Size{};
}

Rect BoxedValue::rectValue() const {
  const Rect* r = std::get_if<Rect>(&value_);
  return r ? *r : Rect{};
}

EdgeInsets BoxedValue::edgeInsetsValue() const {
  const EdgeInsets* i = std::get_if<EdgeInsets>(&value_);
  return i ? *i : EdgeInsets{};
}

bool BoxedValue::isEqual(const Object& other) const {
  const auto* box = dynamic_cast<const BoxedValue*>(&other);
  return box && box->value_ == value_;
}

std::size_t BoxedValue::hash() const {
  std::size_t h = value_.index();
  auto mix = [&h](double d) { h = h * 31 + std::hash<double>{}(d + 0.0); };  // + 0.0: -0 hashes as 0
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Point>) {
          mix(v.x), mix(v.y);
        } else if constexpr (std::is_same_v<T, Size>) {
          mix(v.width), mix(v.height);
        } else if constexpr (std::is_same_v<T, Rect>) {
          mix(v.origin.x), mix(v.origin.y), mix(v.size.width), mix(v.size.height);
        } else {
          mix(v.top), mix(v.left), mix(v.bottom), mix(v.right);
        }
      },
      value_);
  return h;
}

std::string BoxedValue::description() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Point>) {
          return format("NSPoint: {%g, %g}", v.x, v.y);
        } else if constexpr (std::is_same_v<T, Size>) {
          return format("NSSize: {%g, %g}", v.width, v.height);
        } else if constexpr (std::is_same_v<T, Rect>) {
          return format("NSRect: {{%g, %g}, {%g, %g}}", v.origin.x, v.origin.y, v.size.width, v.size.height);
        } else {
          return format("NSEdgeInsets: {%g, %g, %g, %g}", v.top, v.left, v.bottom, v.right);
        }
      },
      value_);
}

}  // namespace platform

#pragma once

// Geometry of the interface: points, sizes, rectangles and edge insets in points (doubles), and
// BoxedValue, the object that carries one of them wherever an object is expected (a Value, the
// other side of a layout constraint), named by the type encoding the platform gives it:
//
//   Point       "{CGPoint=dd}"
//   Size        "{CGSize=dd}"
//   Rect        "{CGRect={CGPoint=dd}{CGSize=dd}}"
//   EdgeInsets  "{NSEdgeInsets=dddd}"   (top, left, bottom, right)
//
// Plain values and immutable objects: safe to read from any thread.

#include <memory>
#include <string>
#include <variant>

#include "platform/runtime/object.h"

namespace platform {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  bool operator==(const EdgeInsets&) const = default;
};

inline constexpr const char* kPointTypeEncoding = "{CGPoint=dd}";
inline constexpr const char* kSizeTypeEncoding = "{CGSize=dd}";
inline constexpr const char* kRectTypeEncoding = "{CGRect={CGPoint=dd}{CGSize=dd}}";
inline constexpr const char* kEdgeInsetsTypeEncoding = "{NSEdgeInsets=dddd}";

class BoxedValue;
using BoxedValuePtr = std::shared_ptr<BoxedValue>;

// One geometric value boxed as an object. Equal when the kind and every field are equal.
class BoxedValue : public Object {
  ZORVEL_CLASS(BoxedValue, platform::Object)
 public:
  static BoxedValuePtr valueWithPoint(Point point);
  static BoxedValuePtr valueWithSize(Size size);
  static BoxedValuePtr valueWithRect(Rect rect);
  static BoxedValuePtr valueWithEdgeInsets(EdgeInsets insets);

  const char* typeEncoding() const;
  // The boxed value; zero when the box holds another kind.
  Point pointValue() const;
  Size sizeValue() const;
  Rect rectValue() const;
  EdgeInsets edgeInsetsValue() const;

  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;
  // As the platform prints boxed geometry: "NSPoint: {1, 2}", "NSSize: {3, 4}",
  // "NSRect: {{1, 2}, {3, 4}}", "NSEdgeInsets: {top, left, bottom, right}".
  std::string description() const override;

 private:
  using Storage = std::variant<Point, Size, Rect, EdgeInsets>;
  explicit BoxedValue(Storage value) : value_(value) {}
  const Storage value_;
};

}  // namespace platform

#pragma once

// The application's icon as the service receives it at onboarding: PNG bytes, their SHA-1 (40
// lower-case hexadecimal digits) and the size in points.
//
// The application's icon is the PNG resource of its bundle named by the information key
// "CFBundleIconFile" (with or without the ".png"); an application without one has no icon.
//
// Threads: immutable once made; any thread.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/services/bundle.h"

class HBRIcon : public platform::Object {
  ZORVEL_CLASS(HBRIcon, platform::Object)

 public:
  struct Size {
    double width = 0;
    double height = 0;
  };
  static constexpr double kMaxSurfaceArea = 1048576;

  // Prerendered unless told otherwise; the hash is computed.
  static std::shared_ptr<HBRIcon> make(platform::Bytes data, Size size, bool prerendered = true);
  static std::shared_ptr<HBRIcon> make(platform::Bytes data, std::string dataHash, Size size, bool prerendered);
  // A PNG file, its size from the image header; null when the file is no PNG.
  static std::shared_ptr<HBRIcon> iconWithPNGFile(const std::filesystem::path& path);
  // The width and height of PNG bytes; nullopt when they are no PNG.
  static std::optional<Size> sizeOfPNG(const platform::Bytes& data);

  const platform::Bytes& data() const { return data_; }
  const std::string& dataHash() const { return dataHash_; }
  const Size& size() const { return size_; }
  bool prerendered() const { return prerendered_; }
  double surfaceArea() const { return size_.width * size_.height; }
  bool isWithinMaxSurfaceArea() const { return surfaceArea() <= kMaxSurfaceArea; }
  bool largerThanSize(Size other) const { return surfaceArea() > other.width * other.height; }

 private:
  HBRIcon() = default;
  platform::Bytes data_;
  std::string dataHash_;
  Size size_;
  bool prerendered_ = true;
};

class HBRAppIconUtility {
 public:
  // The bundle's icon (null bundle: the main bundle), or null.
  static std::shared_ptr<HBRIcon> applicationIcon(platform::BundlePtr bundle = nullptr);
};

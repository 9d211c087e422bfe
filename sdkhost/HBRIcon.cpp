#include "sdkhost/HBRIcon.h"

#include <cstring>

#include "platform/services/files.h"
#include "sdkhost/HBRHost.h"

using namespace platform;

std::shared_ptr<HBRIcon> HBRIcon::make(Bytes data, Size size, bool prerendered) {
  std::string hash = HBRSHA1HexStringFromData(data);
  return make(std::move(data), std::move(hash), size, prerendered);
}

std::shared_ptr<HBRIcon> HBRIcon::make(Bytes data, std::string dataHash, Size size, bool prerendered) {
  auto icon = platform::make<HBRIcon>();
  icon->data_ = std::move(data);
  icon->dataHash_ = std::move(dataHash);
  icon->size_ = size;
  icon->prerendered_ = prerendered;
  return icon;
}

std::optional<HBRIcon::Size> HBRIcon::sizeOfPNG(const Bytes& data) {
  static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  // Signature, the IHDR chunk's length and type, then width and height, big-endian.
  if (data.size() < 24 || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0 ||
      std::memcmp(data.data() + 12, "IHDR", 4) != 0)
    return std::nullopt;
  auto word = [&](std::size_t at) {
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (std::uint32_t{data[at + 2]} << 8) |
           std::uint32_t{data[at + 3]};
  };
  return Size{static_cast<double>(word(16)), static_cast<double>(word(20))};
}

std::shared_ptr<HBRIcon> HBRIcon::iconWithPNGFile(const std::filesystem::path& path) {
  auto data = FileManager::defaultManager().readFile(path);
  if (!data) return nullptr;
  auto size = sizeOfPNG(*data);
  if (!size) return nullptr;
  return make(std::move(*data), *size, false);
}

std::shared_ptr<HBRIcon> HBRAppIconUtility::applicationIcon(BundlePtr bundle) {
  if (!bundle) bundle = Bundle::main();
  const Value& name = bundle->objectForInfoDictionaryKey("CFBundleIconFile");
  if (!name.isString() || name.asString().empty()) return nullptr;
  std::string base = name.asString();
  if (base.size() > 4 && base.ends_with(".png")) base.resize(base.size() - 4);
  auto path = bundle->pathForResource(base, "png");
  return path ? HBRIcon::iconWithPNGFile(*path) : nullptr;
}

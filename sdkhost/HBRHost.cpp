#include "sdkhost/HBRHost.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/services/bundle.h"
#include "platform/system/calendar.h"
#include "platform/system/process.h"

using namespace platform;

namespace {

// The size of the platform call's buffer, terminator included.
constexpr std::size_t kSysctlBufferSize = 128;

std::optional<std::string> infoString(std::string_view key) {
  const Value& value = Bundle::main()->objectForInfoDictionaryKey(key);
  if (!value.isString()) return std::nullopt;
  return value.asString();
}

bool boolValue(const Value& value) { return (value.isNumber() || value.isString()) && value.asBool(); }

std::string readFirstLine(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == '\0' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string cpuBrand() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return {};
}

std::string kernelField(char (utsname::*field)[sizeof(utsname::release)]) {
  utsname info{};
  if (uname(&info) != 0) return {};
  return info.*field;
}

std::optional<std::string> sysctlValue(std::string_view name) {
  if (name == "kern.osversion") {
    std::string build = ProcessInfo::operatingSystemReleaseValue("BUILD_ID");
    return build.empty() ? kernelField(&utsname::release) : build;
  }
  if (name == "kern.ostype") return kernelField(&utsname::sysname);
  if (name == "kern.osrelease") return kernelField(&utsname::release);
  if (name == "kern.version") return kernelField(&utsname::version);
  if (name == "kern.hostname") return ProcessInfo::hostName();
  if (name == "hw.machine") return kernelField(&utsname::machine);
  if (name == "hw.model") {
    for (const char* path :
         {"/sys/class/dmi/id/product_name", "/sys/firmware/devicetree/base/model", "/proc/device-tree/model"})
      if (std::string model = readFirstLine(path); !model.empty()) return model;
    return kernelField(&utsname::machine);
  }
  if (name == "machdep.cpu.brand_string") {
    std::string brand = cpuBrand();
    if (brand.empty()) return std::nullopt;
    return brand;
  }
  if (name == "hw.ncpu") return std::to_string(ProcessInfo::processorCount());
  if (name == "hw.activecpu") return std::to_string(ProcessInfo::activeProcessorCount());
  if (name == "hw.memsize") return std::to_string(ProcessInfo::physicalMemory());
  if (name == "hw.pagesize") return std::to_string(sysconf(_SC_PAGESIZE));
  // Linux's own controls.
  if (name.empty() || name.find("..") != std::string_view::npos || name.find('/') != std::string_view::npos)
    return std::nullopt;
  std::string path = "/proc/sys/" + std::string(name);
  std::replace(path.begin() + 10, path.end(), '.', '/');
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

}  // namespace

// --- The application bundle --------------------------------------------------------------------

std::string HBREscapedBundleIdentifier(std::string_view identifier) {
  std::string escaped(identifier);
  std::replace(escaped.begin(), escaped.end(), '/', '_');
  return escaped;
}

bool HBRApplicationHasAppStoreReceipt() {
  if (HBRHostGetOSVersionCode() < 1070) return false;
  std::error_code error;
  return std::filesystem::exists(Bundle::main()->appStoreReceiptPath(), error);
}

std::string HBRApplicationEscapedBundleIdentifier() {
  return HBREscapedBundleIdentifier(Bundle::main()->bundleIdentifier().value_or(""));
}

std::optional<std::string> HBRApplicationBuildVersion() { return infoString("CFBundleVersion"); }
std::optional<std::string> HBRApplicationDisplayVersion() { return infoString("CFBundleShortVersionString"); }

std::optional<std::string> HBRApplicationDisplayName() {
  if (auto name = infoString("CFBundleDisplayName")) return name;
  if (auto name = infoString("CFBundleName")) return name;
  return HBRApplicationBuildVersion();
}

int HBRApplicationInstallationSource() {
  if (HBRApplicationHasAppStoreReceipt()) return 4;
  if (HBRApplicationIsSignedForDistribution()) return 3;
  return 1;
}

bool HBRApplicationIsSignedForDistribution() {
  return boolValue(Bundle::main()->objectForInfoDictionaryKey("BlackboxSignedForDistribution"));
}

bool HBRApplicationShouldCollectDeviceIdentifiers() {
  const Value& harbor = Bundle::main()->objectForInfoDictionaryKey("Harbor");
  if (const Value& report = harbor["ReportIdentifiers"]; !report.isNil()) return boolValue(report);
  if (const Value& collect = Bundle::main()->objectForInfoDictionaryKey("BlackboxCollectDeviceIdentifiers");
      !collect.isNil())
    return boolValue(collect);
  return true;
}

// --- Operating system and machine ----------------------------------------------------------------

HBROSVersion HBRHostOSVersionFromOSRelease(std::string_view osReleaseText) {
  OperatingSystemVersion version =
      ProcessInfo::versionFromString(ProcessInfo::operatingSystemReleaseValue(osReleaseText, "VERSION_ID"));
  return {version.major, version.minor, version.patch};
}

HBROSVersion HBRHostGetOSVersion() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    if (in)
      return HBRHostOSVersionFromOSRelease(
          std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  return {};
}

std::uint32_t HBRHostOSVersionCodeFor(const HBROSVersion& version) {
  if (version.major < 10) return 0;
  std::int64_t minor = std::clamp<std::int64_t>(version.minor, 0, 99);
  if (version.major == 10 && minor < 10) return static_cast<std::uint32_t>(1000 + 10 * minor);
  std::int64_t code = version.major * 10000 + minor * 100;
  return code > 0xffffffffLL ? 0xffffffffu : static_cast<std::uint32_t>(code);
}

std::uint32_t HBRHostGetOSVersionCode() { return HBRHostOSVersionCodeFor(HBRHostGetOSVersion()); }

std::string HBRHostGetOSDisplayVersion() {
  HBROSVersion v = HBRHostGetOSVersion();
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

std::optional<std::string> HBRHostGetSysctlString(std::string_view name) {
  std::optional<std::string> value = sysctlValue(name);
  if (!value || value->size() + 1 > kSysctlBufferSize) return std::nullopt;
  return value;
}

std::optional<std::string> HBRHostGetOSBuildVersion() { return HBRHostGetSysctlString("kern.osversion"); }
std::optional<std::string> HBRHostGetModel() { return HBRHostGetSysctlString("hw.model"); }

std::string HBRHostGetOSName() {
  std::string name = ProcessInfo::operatingSystemReleaseValue("NAME");
  return name.empty() ? kernelField(&utsname::sysname) : name;
}

unsigned HBRHostGetProcessorCount() { return ProcessInfo::processorCount(); }
std::uint64_t HBRHostGetPhysicalMemory() { return ProcessInfo::physicalMemory(); }
std::string HBRHostGetLocaleIdentifier() { return Calendar().localeIdentifier(); }
std::string HBRHostGetTimeZoneIdentifier() { return Calendar().timeZoneIdentifier(); }

// --- Bytes, digests and identifiers --------------------------------------------------------------

void HBRHexEncodeByte(std::uint8_t byte, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (!out) return;
  out[0] = kDigits[byte >> 4];
  out[1] = kDigits[byte & 0x0f];
}

void HBRHexEncodeBytes(const std::uint8_t* bytes, std::size_t length, char* out) {
  if (!out) return;
  std::fill(out, out + 2 * length + 1, '\0');
  if (!bytes) return;
  for (std::size_t i = 0; i < length; ++i) HBRHexEncodeByte(bytes[i], out + 2 * i);
}

std::string HBRHexStringFromData(const Bytes& data) {
  std::vector<char> buffer(2 * data.size() + 1);
  HBRHexEncodeBytes(data.data(), data.size(), buffer.data());
  return std::string(buffer.data());
}

std::string HBRSHA1HexStringFromBytes(const std::uint8_t* bytes, std::size_t length) {
  return sha1HexString(ByteSpan(bytes, bytes ? length : 0));
}

std::string HBRSHA1HexStringFromData(const Bytes& data) { return sha1HexString(ByteSpan(data.data(), data.size())); }

void HBREnumerateByteRangesInData(
    const Bytes& data, const std::function<void(const std::uint8_t*, std::size_t, std::size_t, bool&)>& block) {
  bool stop = false;
  block(data.data(), 0, data.size(), stop);
}

std::string HBRGenerateUUID() { return newUUIDString(); }

std::string HBRHexStringFromUUIDBytes(const std::uint8_t* uuid) {
  char buffer[33];
  HBRHexEncodeBytes(uuid, 16, buffer);
  return buffer;
}

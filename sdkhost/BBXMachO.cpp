#include "sdkhost/BBXMachO.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/runtime/format.h"
#include "platform/system/crypto.h"

namespace {

std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }

// Reads a 32-bit word at `at` when it lies inside [base, base + size).
std::optional<std::uint32_t> word32(const std::uint8_t* base, std::size_t size, std::size_t at, bool swapped) {
  if (!base || at > size || size - at < 4) return std::nullopt;
  std::uint32_t v;
  std::memcpy(&v, base + at, 4);
  return swapped ? swap32(v) : v;
}

std::optional<std::uint64_t> word64(const std::uint8_t* base, std::size_t size, std::size_t at, bool swapped) {
  if (!base || at > size || size - at < 8) return std::nullopt;
  std::uint64_t v;
  std::memcpy(&v, base + at, 8);
  return swapped ? __builtin_bswap64(v) : v;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

struct HeaderKind {
  bool thin = false;
  bool is64 = false;
  bool swapped = false;
};

HeaderKind kindOf(const std::uint8_t* data, std::size_t size) {
  HeaderKind kind;
  auto magic = word32(data, size, 0, false);
  if (!magic) return kind;
  if (*magic == kBBXMachOMagic32 || *magic == kBBXMachOMagic64) {
    kind.thin = true;
    kind.is64 = *magic == kBBXMachOMagic64;
  } else if (swap32(*magic) == kBBXMachOMagic32 || swap32(*magic) == kBBXMachOMagic64) {
    kind.thin = true;
    kind.swapped = true;
    kind.is64 = swap32(*magic) == kBBXMachOMagic64;
  }
  return kind;
}

bool nameEquals(const std::uint8_t* field, const std::string& name) {
  char text[17] = {};
  std::memcpy(text, field, 16);
  return name == text;
}

}  // namespace

void BBXMachOEnumerateSlicesAtAddress(const std::uint8_t* data, std::size_t size,
                                      const std::function<void(const BBXMachOSlice& slice)>& block) {
  if (!data) return;
  auto magic = word32(data, size, 0, false);
  if (magic && (*magic == kBBXMachOFatMagic || swap32(*magic) == kBBXMachOFatMagic)) {
    if (size < 8) return;
    std::uint32_t count = bigEndian32(data + 4);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::size_t entry = 8 + std::size_t{i} * 20;
      if (entry + 20 > size) return;
      BBXMachOSlice slice;
      slice.cputype = static_cast<std::int32_t>(bigEndian32(data + entry));
      slice.cpusubtype = static_cast<std::int32_t>(bigEndian32(data + entry + 4));
      std::uint32_t offset = bigEndian32(data + entry + 8);
      std::uint32_t length = bigEndian32(data + entry + 12);
      if (offset > size) continue;
      slice.startAddress = data + offset;
      slice.size = std::min<std::size_t>(length, size - offset);
      block(slice);
    }
    return;
  }
  BBXMachOSlice slice{data, size, 0, 0};
  HeaderKind kind = kindOf(data, size);
  if (kind.thin) {
    slice.cputype = static_cast<std::int32_t>(word32(data, size, 4, kind.swapped).value_or(0));
    slice.cpusubtype = static_cast<std::int32_t>(word32(data, size, 8, kind.swapped).value_or(0));
  }
  block(slice);
}

std::vector<BBXMachOSlice> BBXMachOSlicesAtAddress(const std::uint8_t* data, std::size_t size) {
  std::vector<BBXMachOSlice> slices;
  BBXMachOEnumerateSlicesAtAddress(data, size, [&](const BBXMachOSlice& slice) { slices.push_back(slice); });
  return slices;
}

bool BBXMachOSliceEnumerateLoadCommands(BBXMachOSlice& slice,
                                        const std::function<void(const BBXMachOLoadCommand& command)>& block) {
  HeaderKind kind = kindOf(slice.startAddress, slice.size);
  if (!kind.thin) return false;
  const std::uint8_t* base = slice.startAddress;
  std::size_t headerSize = kind.is64 ? 32 : 28;
  if (slice.size < headerSize) return false;
  slice.cputype = static_cast<std::int32_t>(*word32(base, slice.size, 4, kind.swapped));
  slice.cpusubtype = static_cast<std::int32_t>(*word32(base, slice.size, 8, kind.swapped));
  std::uint32_t count = *word32(base, slice.size, 16, kind.swapped);
  std::size_t at = headerSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto type = word32(base, slice.size, at, kind.swapped);
    auto length = word32(base, slice.size, at + 4, kind.swapped);
    if (!type || !length || *length < 8 || *length > slice.size - at) break;
    block(BBXMachOLoadCommand{*type, *length, base + at, kind.swapped});
    at += *length;
  }
  return true;
}

bool BBXMachOSliceIs64Bit(const BBXMachOSlice& slice) { return (slice.cputype & kBBXMachOABI64) != 0; }

std::string BBXMachOSliceGetArchitectureName(const BBXMachOSlice& slice) {
  constexpr std::int32_t kX86 = 7, kArm = 12, kPowerPC = 18;
  const std::int32_t type = slice.cputype, sub = slice.cpusubtype & 0x00ffffff;
  if (type == (kArm | kBBXMachOABI64) && sub == 0) return "arm64";
  if (type == kArm && sub == 11) return "armv7s";
  if (type == kArm && sub == 12) return "armv7k";
  // clang-format off
  struct Name { std::int32_t type; std::int32_t subtype; const char* name; };
  static constexpr Name kNames[] = {
      {kX86 | kBBXMachOABI64, 3, "x86_64"}, {kX86 | kBBXMachOABI64, 8, "x86_64h"}, {kX86, 3, "i386"},
      {kArm | kBBXMachOABI64, 1, "arm64"},  {kArm | kBBXMachOABI64, 2, "arm64e"},  {kArm, 9, "armv7"},
      {kArm, 6, "armv6"},                   {kArm, 0, "arm"},                      {kPowerPC, 0, "ppc"},
      {kPowerPC | kBBXMachOABI64, 0, "ppc64"},
  };
  // clang-format on
  for (const Name& name : kNames)
    if (name.type == type && name.subtype == sub) return name.name;
  return "unknown";
}

bool BBXMachOSliceGetSectionByName(const BBXMachOSlice& slice, const std::string& segment, const std::string& section,
                                   BBXMachOSection* out) {
  if (!out) return false;
  BBXMachOSlice walked = slice;
  bool is64 = BBXMachOSliceIs64Bit(slice);
  bool found = false;
  BBXMachOSliceEnumerateLoadCommands(walked, [&](const BBXMachOLoadCommand& command) {
    if (found) return;
    bool segment64 = command.type == kBBXLoadCommandSegment64 && is64;
    bool segment32 = command.type == kBBXLoadCommandSegment && !is64;
    if (!segment64 && !segment32) return;
    std::size_t commandSize = segment64 ? 72 : 56, sectionSize = segment64 ? 80 : 68;
    if (command.size < commandSize || !nameEquals(command.data + 8, segment)) return;
    auto count = word32(command.data, command.size, segment64 ? 64 : 48, command.swapped);
    for (std::uint32_t i = 0; count && i < *count; ++i) {
      std::size_t at = commandSize + std::size_t{i} * sectionSize;
      if (at + sectionSize > command.size) return;
      const std::uint8_t* entry = command.data + at;
      if (!nameEquals(entry, section)) continue;
      if (segment64) {
        out->address = *word64(entry, sectionSize, 32, command.swapped);
        out->size = *word64(entry, sectionSize, 40, command.swapped);
        out->offset = *word32(entry, sectionSize, 48, command.swapped);
      } else {
        out->address = *word32(entry, sectionSize, 32, command.swapped);
        out->size = *word32(entry, sectionSize, 36, command.swapped);
        out->offset = *word32(entry, sectionSize, 40, command.swapped);
      }
      found = true;
      return;
    }
  });
  return found;
}

bool BBXMachOSliceGetSectionAddress(const BBXMachOSlice& slice, const std::string& segment, const std::string& section,
                                    const std::uint8_t** out) {
  BBXMachOSection found;
  if (!out || !BBXMachOSliceGetSectionByName(slice, segment, section, &found)) return false;
  if (found.offset > slice.size) return false;
  *out = slice.startAddress + found.offset;
  return true;
}

std::optional<std::array<std::uint8_t, 16>> BBXMachOGetUUID(const BBXMachOLoadCommand& command) {
  if (!command.data || command.type != kBBXLoadCommandUUID || command.size < 24) return std::nullopt;
  std::array<std::uint8_t, 16> uuid;
  std::memcpy(uuid.data(), command.data + 8, 16);
  return uuid;
}

std::optional<std::string> BBXMachOGetLinkedDylibName(const BBXMachOLoadCommand& command) {
  auto offset = word32(command.data, command.size, 8, command.swapped);
  if (!offset || *offset >= command.size) return std::nullopt;
  const char* start = reinterpret_cast<const char*>(command.data + *offset);
  return std::string(start, strnlen(start, command.size - *offset));
}

bool BBXMachOGetEncrypted(const BBXMachOLoadCommand& command) {
  return word32(command.data, command.size, 16, command.swapped).value_or(0) != 0;
}

BBXMachOVersion BBXMachOVersionFromWord(std::uint32_t word) { return {word >> 16, (word >> 8) & 0xff, word & 0xff}; }

BBXMachOVersion BBXMachOGetMinimumOSVersion(const BBXMachOLoadCommand& command) {
  return BBXMachOVersionFromWord(word32(command.data, command.size, 8, command.swapped).value_or(0));
}

BBXMachOVersion BBXMachOGetLinkedSDKVersion(const BBXMachOLoadCommand& command) {
  return BBXMachOVersionFromWord(word32(command.data, command.size, 12, command.swapped).value_or(0));
}

BBXMachOSegment BBXMachOGetSegmentInfo(const BBXMachOLoadCommand& command) {
  BBXMachOSegment segment;
  if (command.type == kBBXLoadCommandSegment64 && command.size >= 72) {
    std::memcpy(segment.name.data(), command.data + 8, 16);
    segment.address = *word64(command.data, command.size, 24, command.swapped);
    segment.size = *word64(command.data, command.size, 32, command.swapped);
  } else if (command.type == kBBXLoadCommandSegment && command.size >= 56) {
    std::memcpy(segment.name.data(), command.data + 8, 16);
    segment.address = *word32(command.data, command.size, 24, command.swapped);
    segment.size = *word32(command.data, command.size, 28, command.swapped);
  }
  return segment;
}

std::string BBXMachONormalizeUUID(const std::array<std::uint8_t, 16>& uuid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : uuid) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

std::optional<std::string> BBXMachOFormatVersion(const BBXMachOVersion* version) {
  if (!version) return std::nullopt;
  return platform::format("%d.%d.%d", version->major, version->minor, version->bugfix);
}

BBXMachOSliceInfo BBXMachOSliceInfoFor(const BBXMachOSlice& slice) {
  BBXMachOSliceInfo info;
  info.slice = slice;
  BBXMachOSliceEnumerateLoadCommands(info.slice, [&](const BBXMachOLoadCommand& command) {
    switch (command.type) {
      case kBBXLoadCommandVersionMinMacOS:
      case kBBXLoadCommandVersionMinIPhoneOS:
      case kBBXLoadCommandVersionMinTvOS:
      case kBBXLoadCommandVersionMinWatchOS:
        info.minimumOSVersion = BBXMachOGetMinimumOSVersion(command);
        info.linkedSDKVersion = BBXMachOGetLinkedSDKVersion(command);
        break;
      case kBBXLoadCommandLoadDylib:
        if (auto name = BBXMachOGetLinkedDylibName(command)) info.linkedDylibs.push_back(*name);
        break;
      case kBBXLoadCommandUUID:
        if (auto uuid = BBXMachOGetUUID(command)) info.uuid = BBXMachONormalizeUUID(*uuid);
        break;
      default:
        break;
    }
  });
  info.architectureName = BBXMachOSliceGetArchitectureName(info.slice);
  return info;
}

std::shared_ptr<BBXMachOBinary> BBXMachOBinary::MachOBinaryWithPath(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 16) {
    close(fd);
    return nullptr;
  }
  void* mapped = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  std::shared_ptr<BBXMachOBinary> binary(new BBXMachOBinary);
  binary->path_ = path;
  binary->fd_ = fd;
  binary->mapped_ = mapped;
  binary->mappedSize_ = static_cast<std::size_t>(info.st_size);
  BBXMachOEnumerateSlicesAtAddress(
      static_cast<const std::uint8_t*>(mapped), binary->mappedSize_,
      [&](const BBXMachOSlice& slice) { binary->slices_.push_back(BBXMachOSliceInfoFor(slice)); });
  return binary;
}

BBXMachOBinary::~BBXMachOBinary() {
  if (mapped_ && mappedSize_) munmap(mapped_, mappedSize_);
  if (fd_ >= 0) close(fd_);
}

void BBXMachOBinary::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const {
  for (const auto& slice : slices_) block(slice.uuid.value_or(""), slice.architectureName);
}

const BBXMachOSliceInfo* BBXMachOBinary::sliceForArchitecture(const std::string& name) const {
  for (const auto& slice : slices_)
    if (slice.architectureName == name) return &slice;
  return nullptr;
}

std::string BBXMachOBinary::hashString(const std::string& text) { return platform::sha1HexString(text); }

std::string BBXMachOBinary::instanceIdentifier() const {
  std::vector<const BBXMachOSliceInfo*> sorted;
  for (const auto& slice : slices_) sorted.push_back(&slice);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](auto* a, auto* b) { return a->architectureName < b->architectureName; });
  std::string joined;
  for (auto* slice : sorted) joined += slice->uuid.value_or("");
  return hashString(joined);
}

#pragma once

// Readers of Mach-O images as bytes: universal ("fat") and thin headers in either byte order,
// load commands, UUIDs, versions, linked libraries, segments and sections. Pure parsers over a
// byte range: every read stays inside the range handed in (a count or size that points outside
// ends the walk, a command size of zero ends it too), so a damaged or hostile image gives fewer
// answers, never a read outside its bytes.
//
// Byte order: a fat header's counts and entries are big-endian; a thin header's fields and its
// load commands are read in the byte order its magic shows.
//
// Failure: false, nullopt, empty or zeros for a null or short range; nothing is logged.
// Threads: plain functions without state; the file object is immutable once made. Any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint32_t kBBXMachOMagic32 = 0xfeedface;
inline constexpr std::uint32_t kBBXMachOMagic64 = 0xfeedfacf;
inline constexpr std::uint32_t kBBXMachOFatMagic = 0xcafebabe;
inline constexpr std::int32_t kBBXMachOABI64 = 0x01000000;

inline constexpr std::uint32_t kBBXLoadCommandSegment = 0x1;
inline constexpr std::uint32_t kBBXLoadCommandLoadDylib = 0xc;
inline constexpr std::uint32_t kBBXLoadCommandSegment64 = 0x19;
inline constexpr std::uint32_t kBBXLoadCommandUUID = 0x1b;
inline constexpr std::uint32_t kBBXLoadCommandEncryptionInfo = 0x21;
inline constexpr std::uint32_t kBBXLoadCommandVersionMinMacOS = 0x24;
inline constexpr std::uint32_t kBBXLoadCommandVersionMinIPhoneOS = 0x25;
inline constexpr std::uint32_t kBBXLoadCommandEncryptionInfo64 = 0x2c;
inline constexpr std::uint32_t kBBXLoadCommandVersionMinTvOS = 0x2f;
inline constexpr std::uint32_t kBBXLoadCommandVersionMinWatchOS = 0x30;

// One architecture's image: where its header starts and how many bytes belong to it.
struct BBXMachOSlice {
  const std::uint8_t* startAddress = nullptr;
  std::size_t size = 0;
  std::int32_t cputype = 0;
  std::int32_t cpusubtype = 0;
};

struct BBXMachOVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t bugfix = 0;
  bool operator==(const BBXMachOVersion&) const = default;
};

struct BBXMachOSection {
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  std::uint32_t offset = 0;
};

struct BBXMachOSegment {
  std::array<char, 16> name{};
  std::uint64_t address = 0;
  std::uint64_t size = 0;
};

// One load command: its type, its size and its bytes (`size` of them), and the byte order.
struct BBXMachOLoadCommand {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const std::uint8_t* data = nullptr;
  bool swapped = false;
};

// A fat header gives a slice per architecture entry (at the entry's offset, with its cputype and
// cpusubtype); a thin header gives one slice with the header's values; any other magic one slice
// at the start with cputype and cpusubtype 0. Nothing for a null range.
void BBXMachOEnumerateSlicesAtAddress(const std::uint8_t* data, std::size_t size,
                                      const std::function<void(const BBXMachOSlice& slice)>& block);
std::vector<BBXMachOSlice> BBXMachOSlicesAtAddress(const std::uint8_t* data, std::size_t size);

// Walks the header's load commands (after 28 bytes for a 32-bit header, 32 for a 64-bit one);
// any other magic does nothing. Sets the slice's cputype and cpusubtype from the header. False
// when the slice is no thin image.
bool BBXMachOSliceEnumerateLoadCommands(BBXMachOSlice& slice,
                                        const std::function<void(const BBXMachOLoadCommand& command)>& block);
bool BBXMachOSliceIs64Bit(const BBXMachOSlice& slice);
// "arm64", "armv7s", "armv7k", else the common name of the pair ("x86_64", "i386", "armv7",
// "arm64e", "ppc"...), else "unknown".
std::string BBXMachOSliceGetArchitectureName(const BBXMachOSlice& slice);
bool BBXMachOSliceGetSectionByName(const BBXMachOSlice& slice, const std::string& segment, const std::string& section,
                                   BBXMachOSection* out);
// The slice's start plus the section's file offset (inside the slice).
bool BBXMachOSliceGetSectionAddress(const BBXMachOSlice& slice, const std::string& segment, const std::string& section,
                                    const std::uint8_t** out);

std::optional<std::array<std::uint8_t, 16>> BBXMachOGetUUID(const BBXMachOLoadCommand& command);
std::optional<std::string> BBXMachOGetLinkedDylibName(const BBXMachOLoadCommand& command);
bool BBXMachOGetEncrypted(const BBXMachOLoadCommand& command);
BBXMachOVersion BBXMachOGetMinimumOSVersion(const BBXMachOLoadCommand& command);
BBXMachOVersion BBXMachOGetLinkedSDKVersion(const BBXMachOLoadCommand& command);
// The segment of an LC_SEGMENT or LC_SEGMENT_64 command; zeros for any other.
BBXMachOSegment BBXMachOGetSegmentInfo(const BBXMachOLoadCommand& command);
// 32 lower-case hexadecimal digits.
std::string BBXMachONormalizeUUID(const std::array<std::uint8_t, 16>& uuid);
// "%d.%d.%d"; nullopt for a null record.
std::optional<std::string> BBXMachOFormatVersion(const BBXMachOVersion* version);
// A version word: major in bits 16-31, minor in 8-15, bugfix in 0-7.
BBXMachOVersion BBXMachOVersionFromWord(std::uint32_t word);

// What one slice's load commands say.
struct BBXMachOSliceInfo {
  BBXMachOSlice slice;
  std::string architectureName;
  std::optional<std::string> uuid;  // 32 lower-case digits
  std::vector<std::string> linkedDylibs;
  BBXMachOVersion minimumOSVersion;
  BBXMachOVersion linkedSDKVersion;
};
BBXMachOSliceInfo BBXMachOSliceInfoFor(const BBXMachOSlice& slice);

// A Mach-O file mapped read-only, with its slices. The mapping lives as long as the object.
class BBXMachOBinary {
 public:
  // Null for a missing path, a directory, a file under 16 bytes, or one that cannot be mapped.
  static std::shared_ptr<BBXMachOBinary> MachOBinaryWithPath(const std::filesystem::path& path);
  ~BBXMachOBinary();
  BBXMachOBinary(const BBXMachOBinary&) = delete;
  BBXMachOBinary& operator=(const BBXMachOBinary&) = delete;

  const std::filesystem::path& path() const { return path_; }
  const std::vector<BBXMachOSliceInfo>& slices() const { return slices_; }
  // (uuid, architecture name) per slice in file order; a slice without UUID gives an empty one.
  void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const;
  const BBXMachOSliceInfo* sliceForArchitecture(const std::string& name) const;
  // SHA-1 of the slices' UUIDs joined in the order of their architecture names.
  std::string instanceIdentifier() const;
  static std::string hashString(const std::string& text);

 private:
  BBXMachOBinary() = default;
  std::filesystem::path path_;
  int fd_ = -1;
  void* mapped_ = nullptr;
  std::size_t mappedSize_ = 0;
  std::vector<BBXMachOSliceInfo> slices_;
};

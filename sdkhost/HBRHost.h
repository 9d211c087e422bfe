#pragma once

// Host and application information: the application bundle (identifier, versions, name,
// installation source), the operating system and the machine, and byte encodings, digests and
// identifiers. Plain functions without state of their own; every one may be called from any
// thread.
//
// The application: the main bundle's information property list (platform/bundle.h says where it
// is and what it holds); a store receipt is the file "_MASReceipt/receipt" in the bundle.
//
// The operating system on Linux: the version is the distribution's "VERSION_ID" of os-release
// (e.g. "12" gives {12, 0, 0}, "22.04" gives {22, 4, 0}; all zeros when it has none, as on
// rolling distributions); its build is the os-release "BUILD_ID", else the kernel release.
//
// System controls by name (HBRHostGetSysctlString): the names the kits ask for are answered from
// Linux sources, any other dotted name from /proc/sys ("kernel.hostname" is
// /proc/sys/kernel/hostname):
//   kern.osversion            the OS build (above)        kern.ostype   uname's system name
//   kern.osrelease            the kernel release          kern.version  uname's version
//   kern.hostname             the host name               hw.machine    uname's machine ("x86_64")
//   hw.model                  the DMI product name, else the device-tree model, else hw.machine
//   machdep.cpu.brand_string  /proc/cpuinfo's "model name"
//   hw.ncpu, hw.activecpu     processor counts            hw.memsize    bytes of memory
//   hw.pagesize               the page size
// A value read into the 128-byte buffer of the platform's call must leave room for its
// terminator: a value of 128 bytes or more fails (nullopt), as does an unknown name.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/value.h"
#include "platform/system/crypto.h"

// --- The application bundle --------------------------------------------------------------------

// False when the OS version code is below 1070; else whether the bundle's store receipt exists.
bool HBRApplicationHasAppStoreReceipt();
// The bundle identifier with every "/" replaced by "_" (empty when the bundle has none).
std::string HBRApplicationEscapedBundleIdentifier();
// "CFBundleVersion", "CFBundleShortVersionString".
std::optional<std::string> HBRApplicationBuildVersion();
std::optional<std::string> HBRApplicationDisplayVersion();
// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::optional<std::string> HBRApplicationDisplayName();
// 4 with a store receipt, else 3 when signed for distribution, else 1.
int HBRApplicationInstallationSource();
// boolValue of the top-level key "BlackboxSignedForDistribution" (false when absent).
bool HBRApplicationIsSignedForDistribution();
// boolValue of "ReportIdentifiers" in the "Harbor" dictionary, else of the top-level key
// "BlackboxCollectDeviceIdentifiers"; true when neither is there.
bool HBRApplicationShouldCollectDeviceIdentifiers();

// The escaping rule above, for any identifier.
std::string HBREscapedBundleIdentifier(std::string_view identifier);

// --- Operating system and machine ----------------------------------------------------------------

struct HBROSVersion {
  std::int64_t major = 0;
  std::int64_t minor = 0;
  std::int64_t patch = 0;
};

HBROSVersion HBRHostGetOSVersion();
// The version from os-release text (its "VERSION_ID").
HBROSVersion HBRHostOSVersionFromOSRelease(std::string_view osReleaseText);
// The platform's availability numbers, from major and minor: 10.0 to 10.9 give 1000 + 10 × minor
// (10.6 is 1060), 10.10 on gives major × 10000 + minor × 100 (10.12 is 101200, 11.3 is 110300);
// a major below 10 gives 0. Minors above 99 count as 99.
std::uint32_t HBRHostOSVersionCodeFor(const HBROSVersion& version);
std::uint32_t HBRHostGetOSVersionCode();
// "%ld.%ld.%ld".
std::string HBRHostGetOSDisplayVersion();
std::optional<std::string> HBRHostGetSysctlString(std::string_view name);
std::optional<std::string> HBRHostGetOSBuildVersion();  // "kern.osversion"
std::optional<std::string> HBRHostGetModel();           // "hw.model"
// The operating system's name (os-release "NAME", else the kernel's name).
std::string HBRHostGetOSName();
unsigned HBRHostGetProcessorCount();
std::uint64_t HBRHostGetPhysicalMemory();
// The current locale's identifier ("en_US") and the local time zone ("Europe/Berlin").
std::string HBRHostGetLocaleIdentifier();
std::string HBRHostGetTimeZoneIdentifier();

// --- Bytes, digests and identifiers --------------------------------------------------------------

// Two lower-case digits, high nibble first; nothing when `out` is null.
void HBRHexEncodeByte(std::uint8_t byte, char* out);
// Zero-fills out[0 .. 2 × length], then writes two digits per byte; nothing when `out` is null,
// the empty string when `bytes` is null.
void HBRHexEncodeBytes(const std::uint8_t* bytes, std::size_t length, char* out);
std::string HBRHexStringFromData(const platform::Bytes& data);
std::string HBRSHA1HexStringFromBytes(const std::uint8_t* bytes, std::size_t length);
std::string HBRSHA1HexStringFromData(const platform::Bytes& data);
// Calls the block once with all the bytes (our data is one contiguous range) and range start 0.
void HBREnumerateByteRangesInData(
    const platform::Bytes& data,
    const std::function<void(const std::uint8_t* bytes, std::size_t location, std::size_t length, bool& stop)>& block);
// A new random UUID: upper case with dashes, 36 characters.
std::string HBRGenerateUUID();
// 32 lower-case digits.
std::string HBRHexStringFromUUIDBytes(const std::uint8_t* uuid);

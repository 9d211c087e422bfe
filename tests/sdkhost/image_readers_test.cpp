#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sdkhost/BBXElfImage.h"
#include "sdkhost/BBXMachO.h"
#include "sdkhost/HBRApplicationIdentiferModel.h"
#include "sdkhost/HBRHost.h"
#include "support/temp_dir.h"

using zorvel::test::TempDir;

namespace {

constexpr std::int32_t kX86_64 = 0x01000007, kI386 = 7, kArm64 = 0x0100000c, kArm = 12;

// Writes words in the image's byte order.
struct Writer {
  explicit Writer(bool bigEndian) : big(bigEndian) {}
  bool big = false;
  std::vector<std::uint8_t> out;
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (big ? 56 - 8 * i : 8 * i)));
  }
  void name(const std::string& text) {
    for (std::size_t i = 0; i < 16; ++i) out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
  }
  void bytes(const std::vector<std::uint8_t>& more) { out.insert(out.end(), more.begin(), more.end()); }
};

struct ImageSpec {
  bool is64 = true;
  bool big = false;
  std::int32_t cputype = kX86_64;
  std::int32_t cpusubtype = 3;
  bool uuid = true;
  std::uint8_t uuidSeed = 0x10;
  bool versionMin = true;
};

const std::uint8_t kFirstUUIDByte = 0x10;

// A thin image: UUID, version-minimum, a linked library and a __TEXT segment with __text and
// __eh_frame, then padding to 0x300 bytes.
std::vector<std::uint8_t> thinImage(const ImageSpec& spec) {
  std::vector<Writer> commands;
  if (spec.uuid) {
    Writer c{spec.big};
    c.u32(kBBXLoadCommandUUID);
    c.u32(24);
    for (int i = 0; i < 16; ++i) c.out.push_back(static_cast<std::uint8_t>(spec.uuidSeed + i));
    commands.push_back(c);
  }
  if (spec.versionMin) {
    Writer c{spec.big};
    c.u32(kBBXLoadCommandVersionMinMacOS);
    c.u32(16);
    c.u32(0x000a0900);  // 10.9.0
    c.u32(0x000a0c01);  // 10.12.1
    commands.push_back(c);
  }
  {
    Writer c{spec.big};
    std::string name = "/usr/lib/libSystem.B.dylib";
    c.u32(kBBXLoadCommandLoadDylib);
    c.u32(24 + 28);
    c.u32(24);
    c.u32(2);
    c.u32(0x10000);
    c.u32(0x10000);
    for (char ch : name) c.out.push_back(static_cast<std::uint8_t>(ch));
    c.out.resize(24 + 28, 0);
    commands.push_back(c);
  }
  {
    Writer c{spec.big};
    c.u32(spec.is64 ? kBBXLoadCommandSegment64 : kBBXLoadCommandSegment);
    c.u32(spec.is64 ? 72 + 2 * 80 : 56 + 2 * 68);
    c.name("__TEXT");
    if (spec.is64) {
      c.u64(0x100000000);
      c.u64(0x4000);
      c.u64(0);
      c.u64(0x4000);
    } else {
      c.u32(0x1000);
      c.u32(0x4000);
      c.u32(0);
      c.u32(0x4000);
    }
    c.u32(5);
    c.u32(5);
    c.u32(2);
    c.u32(0);
    auto section = [&](const std::string& name, std::uint64_t address, std::uint64_t size, std::uint32_t offset) {
      c.name(name);
      c.name("__TEXT");
      if (spec.is64) {
        c.u64(address);
        c.u64(size);
      } else {
        c.u32(static_cast<std::uint32_t>(address));
        c.u32(static_cast<std::uint32_t>(size));
      }
      c.u32(offset);
      for (int i = 0; i < (spec.is64 ? 7 : 6); ++i) c.u32(0);
    };
    section("__text", 0x100000200, 0x80, 0x200);
    section("__eh_frame", 0x100000280, 0x40, 0x280);
    commands.push_back(c);
  }
  Writer image{spec.big};
  image.u32(spec.is64 ? kBBXMachOMagic64 : kBBXMachOMagic32);
  image.u32(static_cast<std::uint32_t>(spec.cputype));
  image.u32(static_cast<std::uint32_t>(spec.cpusubtype));
  image.u32(2);
  image.u32(static_cast<std::uint32_t>(commands.size()));
  std::uint32_t total = 0;
  for (const auto& c : commands) total += static_cast<std::uint32_t>(c.out.size());
  image.u32(total);
  image.u32(0);
  if (spec.is64) image.u32(0);
  for (const auto& c : commands) image.bytes(c.out);
  image.out.resize(0x300, 0);
  return image.out;
}

// A fat file: header and entries big-endian (or the magic alone stored in the other order).
std::vector<std::uint8_t> fatImage(const std::vector<std::pair<ImageSpec, std::uint32_t>>& slices,
                                   bool littleEndianMagic = false) {
  Writer fat{true};
  if (littleEndianMagic) {
    Writer m{false};
    m.u32(kBBXMachOFatMagic);
    fat.bytes(m.out);
  } else {
    fat.u32(kBBXMachOFatMagic);
  }
  fat.u32(static_cast<std::uint32_t>(slices.size()));
  for (const auto& [spec, offset] : slices) {
    fat.u32(static_cast<std::uint32_t>(spec.cputype));
    fat.u32(static_cast<std::uint32_t>(spec.cpusubtype));
    fat.u32(offset);
    fat.u32(0x300);
    fat.u32(12);
  }
  for (const auto& [spec, offset] : slices) {
    fat.out.resize(offset, 0);
    fat.bytes(thinImage(spec));
  }
  return fat.out;
}

std::string expectedUUID(std::uint8_t seed) {
  std::array<std::uint8_t, 16> bytes;
  for (int i = 0; i < 16; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seed + i);
  return BBXMachONormalizeUUID(bytes);
}

}  // namespace

TEST(BBXMachO, ThinImagesInEitherByteOrderAnswerTheSame) {
  struct Case {
    const char* label;
    ImageSpec spec;
    const char* architecture;
  };
  const Case cases[] = {
      {"64-bit little-endian", {true, false, kX86_64, 3}, "x86_64"},
      {"64-bit big-endian", {true, true, kX86_64, 3}, "x86_64"},
      {"32-bit little-endian", {false, false, kI386, 3}, "i386"},
      {"32-bit big-endian", {false, true, kI386, 3}, "i386"},
      {"arm64", {true, false, kArm64, 0}, "arm64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto bytes = thinImage(c.spec);
    auto slices = BBXMachOSlicesAtAddress(bytes.data(), bytes.size());
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices[0].startAddress, bytes.data());
    EXPECT_EQ(slices[0].cputype, c.spec.cputype);
    EXPECT_EQ(slices[0].cpusubtype, c.spec.cpusubtype);
    EXPECT_EQ(BBXMachOSliceIs64Bit(slices[0]), c.spec.is64);
    auto info = BBXMachOSliceInfoFor(slices[0]);
    EXPECT_EQ(info.architectureName, c.architecture);
    EXPECT_EQ(info.uuid, expectedUUID(kFirstUUIDByte));
    EXPECT_EQ(info.minimumOSVersion, (BBXMachOVersion{10, 9, 0}));
    EXPECT_EQ(info.linkedSDKVersion, (BBXMachOVersion{10, 12, 1}));
    EXPECT_EQ(info.linkedDylibs, std::vector<std::string>{"/usr/lib/libSystem.B.dylib"});

    BBXMachOSection section;
    ASSERT_TRUE(BBXMachOSliceGetSectionByName(slices[0], "__TEXT", "__eh_frame", &section));
    EXPECT_EQ(section.size, 0x40u);
    EXPECT_EQ(section.offset, 0x280u);
    EXPECT_EQ(section.address & 0xffffffff, 0x00000280u);
    const std::uint8_t* address = nullptr;
    ASSERT_TRUE(BBXMachOSliceGetSectionAddress(slices[0], "__TEXT", "__text", &address));
    EXPECT_EQ(address, bytes.data() + 0x200);
    EXPECT_FALSE(BBXMachOSliceGetSectionByName(slices[0], "__TEXT", "__unwind_info", &section));
    EXPECT_FALSE(BBXMachOSliceGetSectionByName(slices[0], "__DATA", "__text", &section));

    std::vector<BBXMachOSegment> segments;
    BBXMachOSlice slice = slices[0];
    slice.cputype = 0;  // the walk fills the architecture in
    ASSERT_TRUE(BBXMachOSliceEnumerateLoadCommands(slice, [&](const BBXMachOLoadCommand& command) {
      BBXMachOSegment segment = BBXMachOGetSegmentInfo(command);
      if (segment.size) segments.push_back(segment);
    }));
    EXPECT_EQ(slice.cputype, c.spec.cputype);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_STREQ(segments[0].name.data(), "__TEXT");
    EXPECT_EQ(segments[0].size, 0x4000u);
  }
}

TEST(BBXMachO, FatHeadersGiveOneSlicePerEntryInFileOrder) {
  ImageSpec x86{true, false, kX86_64, 3, true, 0x50};
  ImageSpec i386{false, false, kI386, 3, true, 0x10};
  for (bool littleMagic : {false, true}) {
    SCOPED_TRACE(littleMagic ? "magic stored little-endian" : "magic big-endian");
    auto bytes = fatImage({{x86, 0x1000}, {i386, 0x2000}}, littleMagic);
    auto slices = BBXMachOSlicesAtAddress(bytes.data(), bytes.size());
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices[0].startAddress, bytes.data() + 0x1000);
    EXPECT_EQ(slices[0].cputype, kX86_64);
    EXPECT_EQ(slices[1].startAddress, bytes.data() + 0x2000);
    EXPECT_EQ(BBXMachOSliceInfoFor(slices[1]).uuid, expectedUUID(0x10));
  }
  // Through a file: the instance identifier joins the UUIDs in the order i386, x86_64.
  TempDir dir;
  auto path = dir.path() / "universal";
  auto bytes = fatImage({{x86, 0x1000}, {i386, 0x2000}});
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  auto binary = BBXMachOBinary::MachOBinaryWithPath(path);
  ASSERT_TRUE(binary);
  std::vector<std::string> order;
  binary->enumerateUUIDs([&](const std::string&, const std::string& architecture) { order.push_back(architecture); });
  EXPECT_EQ(order, (std::vector<std::string>{"x86_64", "i386"}));
  EXPECT_EQ(binary->instanceIdentifier(), BBXMachOBinary::hashString(expectedUUID(0x10) + expectedUUID(0x50)));
  ASSERT_TRUE(binary->sliceForArchitecture("i386"));
  EXPECT_FALSE(binary->sliceForArchitecture("arm64"));
}

TEST(BBXMachO, UnknownShortAndDamagedImagesStayInsideTheirBytes) {
  std::vector<std::uint8_t> unknown(64, 0x42);
  auto slices = BBXMachOSlicesAtAddress(unknown.data(), unknown.size());
  ASSERT_EQ(slices.size(), 1u);
  EXPECT_EQ(slices[0].cputype, 0);
  EXPECT_EQ(slices[0].cpusubtype, 0);
  BBXMachOSlice slice = slices[0];
  int calls = 0;
  EXPECT_FALSE(BBXMachOSliceEnumerateLoadCommands(slice, [&](const BBXMachOLoadCommand&) { ++calls; }));
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(BBXMachOSlicesAtAddress(nullptr, 0).empty());

  struct Case {
    const char* label;
    std::size_t at;  // where a word is overwritten
    std::uint32_t value;
    int commands;  // commands still walked
  };
  const Case cases[] = {
      {"command count far too large", 16, 0xffffffff, 4},
      {"first command of size zero", 32 + 4, 0, 0},
      {"first command larger than the image", 32 + 4, 0x100000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto bytes = thinImage({});
    std::memcpy(bytes.data() + c.at, &c.value, 4);
    BBXMachOSlice thin{bytes.data(), bytes.size(), 0, 0};
    int seen = 0;
    EXPECT_TRUE(BBXMachOSliceEnumerateLoadCommands(thin, [&](const BBXMachOLoadCommand&) { ++seen; }));
    EXPECT_EQ(seen, c.commands);
  }
  // A fat header that promises more entries than there are bytes.
  auto fat = fatImage({{ImageSpec{}, 0x1000}});
  fat[6] = 0xff;
  fat[7] = 0xff;
  auto many = BBXMachOSlicesAtAddress(fat.data(), fat.size());
  EXPECT_LE(many.size(), (fat.size() - 8) / 20);  // only entries that are there, pointing inside
  for (const auto& slice : many) EXPECT_LE(slice.startAddress + slice.size, fat.data() + fat.size());
  fat.resize(20);  // the one entry cut short
  EXPECT_TRUE(BBXMachOSlicesAtAddress(fat.data(), fat.size()).empty());
}

TEST(BBXMachO, SliceWithoutUUIDOrVersionsAndArchitectureNames) {
  auto bytes = thinImage({true, false, kX86_64, 3, false, 0, false});
  auto info = BBXMachOSliceInfoFor(BBXMachOSlicesAtAddress(bytes.data(), bytes.size()).at(0));
  EXPECT_FALSE(info.uuid);
  EXPECT_EQ(info.minimumOSVersion, BBXMachOVersion{});
  EXPECT_EQ(BBXMachOFormatVersion(&info.linkedSDKVersion), "0.0.0");
  EXPECT_FALSE(BBXMachOFormatVersion(nullptr));

  struct Case {
    std::int32_t type, subtype;
    const char* name;
  };
  const Case cases[] = {{kArm64, 0, "arm64"},   {kArm, 11, "armv7s"}, {kArm, 12, "armv7k"}, {kArm, 9, "armv7"},
                        {kX86_64, 3, "x86_64"}, {kI386, 3, "i386"},   {99, 1, "unknown"}};
  for (const auto& c : cases)
    EXPECT_EQ(BBXMachOSliceGetArchitectureName({nullptr, 0, c.type, c.subtype}), c.name) << c.name;
}

TEST(BBXMachO, OnlyRegularFilesOfSixteenBytesOpen) {
  TempDir dir;
  std::ofstream(dir.path() / "short", std::ios::binary) << std::string(15, 'x');
  std::ofstream(dir.path() / "enough", std::ios::binary) << std::string(16, 'x');
  EXPECT_FALSE(BBXMachOBinary::MachOBinaryWithPath(dir.path() / "short"));
  EXPECT_FALSE(BBXMachOBinary::MachOBinaryWithPath(dir.path()));
  EXPECT_FALSE(BBXMachOBinary::MachOBinaryWithPath(dir.path() / "missing"));
  auto enough = BBXMachOBinary::MachOBinaryWithPath(dir.path() / "enough");
  ASSERT_TRUE(enough);
  ASSERT_EQ(enough->slices().size(), 1u);
  EXPECT_EQ(enough->slices()[0].architectureName, "unknown");
}

// --- The ELF images this process runs ------------------------------------------------------------

namespace {

std::string commandOutput(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

}  // namespace

TEST(BBXElfImage, BuildIDReadFromMemoryIsTheOneTheToolsPrint) {
  auto image = BBXElfImageGetCurrent();
  ASSERT_TRUE(image);
  ASSERT_FALSE(image->path.empty());
  std::string notes = commandOutput("readelf -n '" + image->path + "'");
  auto at = notes.find("Build ID: ");
  ASSERT_NE(at, std::string::npos) << notes;
  std::string printed = notes.substr(at + 10, notes.find('\n', at) - at - 10);
  std::string read = HBRHexStringFromData(platform::Bytes(image->buildID.begin(), image->buildID.end()));
  EXPECT_EQ(read, printed);
#if defined(__x86_64__)
  EXPECT_EQ(image->architectureName, "x86_64");
#endif
  // The identity names the slice by architecture with the build-id standing for its UUID.
  auto model = HBRApplicationIdentiferModel::make("id");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->architectureUUIDMap().at(image->architectureName), printed);
  EXPECT_EQ(model->instanceIdentifier(), BBXMachOBinary::hashString(printed));

  auto sections = BBXElfFileSections(image->path);
  const BBXElfSection* note = nullptr;
  bool text = false;
  for (const auto& section : sections) {
    if (section.name == ".note.gnu.build-id") note = &section;
    if (section.name == ".text") text = section.size > 0;
  }
  EXPECT_TRUE(text);
  ASSERT_TRUE(note);
  // The section in memory holds the same note.
  auto fromSection =
      BBXElfBuildIDFromNotes(reinterpret_cast<const std::uint8_t*>(image->loadBias + note->address), note->size);
  ASSERT_TRUE(fromSection);
  EXPECT_EQ(*fromSection, image->buildID);
  EXPECT_TRUE(BBXElfFileSections("/nonexistent").empty());
}

TEST(BBXElfImage, DamagedNotesGiveNoBuildID) {
  // namesz, descsz, type, "GNU\0", 4 bytes of id.
  std::vector<std::uint8_t> good = {4, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0, 'G', 'N', 'U', 0, 1, 2, 3, 4};
  auto id = BBXElfBuildIDFromNotes(good.data(), good.size());
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  auto longDesc = good;
  longDesc[4] = 200;  // the id runs past the notes
  EXPECT_FALSE(BBXElfBuildIDFromNotes(longDesc.data(), longDesc.size()));
  auto otherType = good;
  otherType[8] = 1;
  EXPECT_FALSE(BBXElfBuildIDFromNotes(otherType.data(), otherType.size()));
  EXPECT_FALSE(BBXElfBuildIDFromNotes(nullptr, 0));
}

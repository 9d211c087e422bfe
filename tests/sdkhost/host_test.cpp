#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/services/bundle.h"
#include "sdkhost/HBRHost.h"
#include "support/temp_dir.h"

using namespace platform;
using zorvel::test::TempDir;

namespace {

// Installs a main bundle with the given information dictionary for one test.
class MainBundle {
 public:
  explicit MainBundle(Value info, const std::filesystem::path& path) : previous_(Bundle::main()) {
    Bundle::setMain(Bundle::bundleWithInfoDictionary(path, std::move(info)));
  }
  ~MainBundle() { Bundle::setMain(previous_); }

 private:
  BundlePtr previous_;
};

}  // namespace

TEST(HBRApplication, BundleValuesComeFromTheInformationDictionary) {
  TempDir dir;
  MainBundle bundle(Value::dictionary({{"CFBundleIdentifier", "org.example/app/x"},
                                       {"CFBundleVersion", "42"},
                                       {"CFBundleShortVersionString", "2.1"},
                                       {"CFBundleName", "Example"}}),
                    dir.path());
  EXPECT_EQ(HBRApplicationEscapedBundleIdentifier(), "org.example_app_x");
  EXPECT_EQ(HBREscapedBundleIdentifier("org.example.plain"), "org.example.plain");
  EXPECT_EQ(HBRApplicationBuildVersion(), "42");
  EXPECT_EQ(HBRApplicationDisplayVersion(), "2.1");
  EXPECT_EQ(HBRApplicationDisplayName(), "Example");
}

TEST(HBRApplication, DisplayNameFallsBackToNameThenBuild) {
  TempDir dir;
  {
    MainBundle bundle(Value::dictionary({{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Named"}}), dir.path());
    EXPECT_EQ(HBRApplicationDisplayName(), "Shown");
  }
  MainBundle bundle(Value::dictionary({{"CFBundleVersion", "7"}}), dir.path());
  EXPECT_EQ(HBRApplicationDisplayName(), "7");
  EXPECT_FALSE(HBRApplicationDisplayVersion());
}

TEST(HBRApplication, InstallationSourceFollowsReceiptThenSigning) {
  TempDir dir;
  {
    MainBundle bundle(Value::dictionary({}), dir.path());
    EXPECT_FALSE(HBRApplicationIsSignedForDistribution());
    EXPECT_EQ(HBRApplicationInstallationSource(), 1);
  }
  {
    MainBundle bundle(Value::dictionary({{"BlackboxSignedForDistribution", true}}), dir.path());
    EXPECT_EQ(HBRApplicationInstallationSource(), 3);
    // A receipt counts on every system whose version code is 1070 or more.
    std::filesystem::create_directories(dir / "_MASReceipt");
    std::ofstream(dir / "_MASReceipt" / "receipt") << "receipt";
    ASSERT_GE(HBRHostGetOSVersionCode(), 1070u) << "this system's version: " << HBRHostGetOSDisplayVersion();
    EXPECT_TRUE(HBRApplicationHasAppStoreReceipt());
    EXPECT_EQ(HBRApplicationInstallationSource(), 4);
  }
}

TEST(HBRApplication, DeviceIdentifierCollectionPrefersTheHostDictionary) {
  TempDir dir;
  struct Case {
    Value info;
    bool expected;
  } cases[] = {
      {Value::dictionary({}), true},
      {Value::dictionary({{"BlackboxCollectDeviceIdentifiers", false}}), false},
      {Value::dictionary(
           {{"Harbor", Value::dictionary({{"ReportIdentifiers", true}})}, {"BlackboxCollectDeviceIdentifiers", false}}),
       true},
      {Value::dictionary({{"Harbor", Value::dictionary({{"ReportIdentifiers", "NO"}})}}), false},
  };
  for (const Case& c : cases) {
    MainBundle bundle(c.info, dir.path());
    EXPECT_EQ(HBRApplicationShouldCollectDeviceIdentifiers(), c.expected) << c.info.description();
  }
}

TEST(HBRHost, VersionCodesComeFromMajorAndMinor) {
  struct Case {
    HBROSVersion version;
    std::uint32_t code;
  } cases[] = {
      {{10, 6, 0}, 1060},    {{10, 7, 5}, 1070},    {{10, 9, 0}, 1090},   {{10, 10, 0}, 101000}, {{10, 12, 6}, 101200},
      {{10, 13, 0}, 101300}, {{10, 15, 7}, 101500}, {{11, 3, 0}, 110300}, {{12, 0, 0}, 120000},  {{22, 4, 0}, 220400},
      {{10, 5, 0}, 1050},    {{9, 9, 0}, 0},        {{0, 0, 0}, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HBRHostOSVersionCodeFor(c.version), c.code) << c.version.major << "." << c.version.minor;
}

TEST(HBRHost, OSVersionComesFromTheDistributionRelease) {
  struct Case {
    const char* text;
    HBROSVersion expected;
  } cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", {12, 0, 0}},
      {"VERSION_ID=22.04\nNAME=Ubuntu\n", {22, 4, 0}},
      {"VERSION_ID='10.15.7'\n", {10, 15, 7}},
      {"NAME=Arch\nBUILD_ID=rolling\n", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    HBROSVersion version = HBRHostOSVersionFromOSRelease(c.text);
    EXPECT_EQ(version.major, c.expected.major) << c.text;
    EXPECT_EQ(version.minor, c.expected.minor) << c.text;
    EXPECT_EQ(version.patch, c.expected.patch) << c.text;
  }
  HBROSVersion v = HBRHostGetOSVersion();
  EXPECT_EQ(HBRHostGetOSDisplayVersion(),
            std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch));
}

TEST(HBRHost, SystemControlsAnswerFromLinuxSources) {
  for (const char* name : {"kern.osversion", "kern.ostype", "hw.machine", "hw.model", "hw.ncpu", "hw.memsize",
                           "hw.pagesize", "kernel.ostype"}) {
    auto value = HBRHostGetSysctlString(name);
    ASSERT_TRUE(value) << name;
    EXPECT_FALSE(value->empty()) << name;
    EXPECT_LT(value->size(), 128u) << name;
  }
  EXPECT_EQ(HBRHostGetSysctlString("kernel.ostype"), "Linux");
  EXPECT_EQ(HBRHostGetSysctlString("hw.ncpu"), std::to_string(HBRHostGetProcessorCount()));
  EXPECT_EQ(HBRHostGetModel(), HBRHostGetSysctlString("hw.model"));
  for (const char* name : {"no.such.control", "", "kernel/../../etc/passwd", "kernel..x"})
    EXPECT_FALSE(HBRHostGetSysctlString(name)) << name;
  EXPECT_GT(HBRHostGetPhysicalMemory(), 0u);
  EXPECT_FALSE(HBRHostGetOSName().empty());
  EXPECT_FALSE(HBRHostGetLocaleIdentifier().empty());
  EXPECT_FALSE(HBRHostGetTimeZoneIdentifier().empty());
}

TEST(HBRHex, EncodesBytesDigestsAndIdentifiers) {
  char pair[3] = {'x', 'x', '\0'};
  HBRHexEncodeByte(0xa5, pair);
  EXPECT_STREQ(pair, "a5");
  HBRHexEncodeByte(0xff, nullptr);  // nothing happens
  char one[1] = {'x'};
  HBRHexEncodeBytes(nullptr, 0, one);
  EXPECT_EQ(one[0], '\0');
  char buffer[9] = "zzzzzzzz";
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xf0, 0x9c};
  HBRHexEncodeBytes(bytes, 4, buffer);
  EXPECT_STREQ(buffer, "000ff09c");
  HBRHexEncodeBytes(nullptr, 4, buffer);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(HBRHexStringFromData(Bytes{0xde, 0xad}), "dead");
  EXPECT_EQ(HBRSHA1HexStringFromData(Bytes{'a', 'b', 'c'}), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HBRSHA1HexStringFromBytes(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  std::string uuid = HBRGenerateUUID();
  ASSERT_EQ(uuid.size(), 36u);
  EXPECT_EQ(uuid, platform::UUID::parse(uuid)->uuidString());  // upper case with dashes
  std::uint8_t octets[16];
  for (int i = 0; i < 16; ++i) octets[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(HBRHexStringFromUUIDBytes(octets), "00112233445566778899aabbccddeeff");
  int calls = 0;
  HBREnumerateByteRangesInData(Bytes{1, 2, 3},
                               [&](const std::uint8_t* p, std::size_t location, std::size_t length, bool&) {
                                 ++calls;
                                 EXPECT_EQ(p[2], 3);
                                 EXPECT_EQ(location, 0u);
                                 EXPECT_EQ(length, 3u);
                               });
  EXPECT_EQ(calls, 1);
}

TEST(Bundle, MainBundleOfABuildTreeIsTheSourceResources) {
  BundlePtr main = Bundle::main();
  EXPECT_EQ(main->bundleIdentifier(), "org.zorvel.Zorvel");
  EXPECT_TRUE(main->objectForInfoDictionaryKey("CFBundleVersion").isString());
  EXPECT_TRUE(main->pathForResource("Info", "plist"));
  EXPECT_FALSE(main->pathForResource("Missing", "plist"));
}

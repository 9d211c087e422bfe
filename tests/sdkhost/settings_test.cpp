#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/dispatch/dispatch.h"
#include "platform/net/trust.h"
#include "platform/services/bundle.h"
#include "platform/services/notification_center.h"
#include "platform/services/user_defaults.h"
#include "sdkhost/HBRApplicationIdentiferModel.h"
#include "sdkhost/HBRDownloadAndSaveSettingsOperation.h"
#include "sdkhost/HBRHost.h"
#include "sdkhost/HBRIcon.h"
#include "sdkhost/HBROnboardingOperation.h"
#include "sdkhost/HBRSettings.h"
#include "sdkhost/HBRSettingsOnboardingManager.h"
#include "sdkhost/Harbor.h"
#include "support/raised.h"
#include "support/report_service.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

using namespace platform;
using zorvel::test::raised;
using zorvel::test::ReportService;
using zorvel::test::ScopedEnvironment;
using zorvel::test::ScriptedResponse;
using zorvel::test::TempDir;
using zorvel::test::TestCertificates;
using Endpoint = ReportService::Endpoint;

namespace {

constexpr const char* kBundleID = "org.zorvel.SettingsTest";
constexpr const char* kEmptySHA1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

std::string readText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

ScriptedResponse json(int status, std::string body) {
  return ScriptedResponse::text(status, std::move(body), "application/json; charset=utf-8");
}

Value infoDictionary(Value harbor) {
  ValueDictionary info;
  info.set("CFBundleIdentifier", Value(std::string(kBundleID)));
  info.set("CFBundleName", Value(std::string("Settings Test")));
  info.set("CFBundleVersion", Value(std::string("42")));
  info.set("CFBundleShortVersionString", Value(std::string("2.5")));
  if (!harbor.isNil()) info.set("Harbor", std::move(harbor));
  return Value(std::move(info));
}

Value harborDictionary() {
  ValueDictionary harbor;
  harbor.set("APIKey", Value(std::string("test-api-key")));
  ValueDictionary kitInfo;
  kitInfo.set("level", Value(3));
  ValueDictionary blackbox;
  blackbox.set("KitName", Value(std::string("Blackbox")));
  blackbox.set("KitInfo", Value(std::move(kitInfo)));
  ValueDictionary tally;
  tally.set("KitName", Value(std::string("Tally")));
  harbor.set("Kits", Value(ValueArray{Value(std::move(blackbox)), Value(std::move(tally))}));
  return Value(std::move(harbor));
}

// The main bundle of these tests, restored afterwards.
class MainBundle {
 public:
  explicit MainBundle(const std::filesystem::path& path, Value info = infoDictionary(harborDictionary()))
      : previous_(Bundle::main()) {
    Bundle::setMain(Bundle::bundleWithInfoDictionary(path, std::move(info)));
  }
  ~MainBundle() { Bundle::setMain(previous_); }

 private:
  BundlePtr previous_;
};

// Counts the settings notifications of a centre of its own.
struct NotificationCounter {
  std::shared_ptr<NotificationCenter> center = NotificationCenter::create();
  std::atomic<int> count{0};
  DispatchSemaphore posted;
  NotificationCenter::ObserverToken token;
  NotificationCounter() {
    token = center->addObserver(std::string(HBRSettingsAvailableNotification), nullptr, nullptr,
                                [this](const NotificationPtr&) {
                                  ++count;
                                  posted.signal();
                                });
  }
  ~NotificationCounter() { center->removeObserver(token); }
};

// A service, a caches folder, a main bundle and a manager trusting the service by its root.
struct Fixture {
  TempDir dir{"zorvel-settings"};
  MainBundle bundle{dir.path() / "bundle"};
  ReportService service{dir.path() / "service"};
  ScopedEnvironment endpoint{"SettingsEndpoint", service.baseURL().c_str()};
  ScopedEnvironment configure{"ConfigureEndpoint", service.baseURL().c_str()};
  NotificationCounter notifications;
  std::shared_ptr<HBRSettingsOnboardingManager> manager;

  explicit Fixture(std::shared_ptr<HBRApplicationIdentiferModel> model = nullptr) {
    HBRSettingsEnvironment environment;
    environment.cachesDirectory = dir.path() / "caches";
    environment.pinnedCertificates = Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate);
    environment.notificationCenter = notifications.center;
    environment.retryScheduler = [](double, std::function<void()> attempt) { attempt(); };
    if (!model) model = HBRApplicationIdentiferModel::makeWithExecutableInfo("INSTALL-ID-1", {}, {}, {});
    manager = HBRSettingsOnboardingManager::make(model, environment);
  }
  std::filesystem::path settingsFile() const {
    return dir.path() / "caches" / "org.zorvel.sdk.harbor.data" / kBundleID / "settings.json";
  }
  void begin() { manager->beginSettingsAndOnboardingOperationsWithAPIKey("test-api-key", {{"org.kit", "1.0"}}); }
  // Waits until the network client's session is over (the last step of every path).
  void waitForSessionEnd() {
    DispatchSemaphore ended;
    // Invalidation completes every outstanding task; a task made afterwards is refused, so poll
    // the request count settling instead.
    for (int i = 0; i < 50; ++i) {
      std::size_t before = service.logLines().size();
      ended.wait(0.1);
      if (service.logLines().size() == before && i > 5) break;
    }
  }
};

}  // namespace

TEST(HBRSettings, RequestCarriesTheApplicationAndInstanceInItsURLAndHeaders) {
  Fixture f;
  EXPECT_EQ(f.manager->settingsPath(), f.settingsFile());
  f.begin();
  ASSERT_TRUE(f.notifications.posted.wait(20));
  auto requests = f.service.requests(Endpoint::Settings);
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, std::string("/spi/v2/platforms/mac/apps/") + kBundleID +
                              "/settings?build_version=42&display_version=2.5&instance=" + kEmptySHA1 + "&source=1");
  EXPECT_EQ(request.header("User-Agent"), "org.zorvel.sdk.harbor/1.6.11 (60)");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("X-Blackbox-Installation-ID"), "INSTALL-ID-1");
  EXPECT_EQ(request.header("X-Blackbox-API-Key"), "test-api-key");
  EXPECT_EQ(request.header("X-Blackbox-API-Client-Version"), "1.6.11");
  EXPECT_TRUE(request.header("X-Blackbox-OS-Display-Version"));
}

TEST(HBRSettings, StoredSettingsArePostedAndReadBack) {
  Fixture f;
  f.service.enqueue(Endpoint::Settings, json(200, R"({"app":{"status":"activated"},"features":{"x":1}})"));
  f.begin();
  ASSERT_TRUE(f.notifications.posted.wait(20));
  EXPECT_EQ(f.notifications.count.load(), 1);
  EXPECT_EQ(readText(f.settingsFile()), R"({"app":{"status":"activated"},"features":{"x":1}})");
  EXPECT_EQ(f.manager->settingsModel()->appStatus(), "activated");
  EXPECT_EQ(f.manager->settingsModel()->settingsDictionary()["features"]["x"].asInt64(), 1);
  EXPECT_EQ(f.service.count(Endpoint::AppCreate) + f.service.count(Endpoint::AppUpdate), 0u);
  // The folder holds the settings and nothing half-written.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(f.settingsFile().parent_path()))
    ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(HBRSettings, AnswersThatAreNotSettingsKeepThePreviousFileAndPostNothing) {
  struct Case {
    const char* label;
    std::vector<ScriptedResponse> answers;
    std::size_t attempts;
  };
  const Case cases[] = {
      {"server error, then again on the one retry", {json(500, "{}"), json(503, "{}")}, 2},
      {"client error", {json(404, R"({"error":"unknown app"})")}, 1},
      {"success of another content type", {ScriptedResponse::text(200, "<html>proxy</html>", "text/html")}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Fixture f;
    writeText(f.settingsFile(), R"({"app":{"status":"old"}})");
    for (const auto& answer : c.answers) f.service.enqueue(Endpoint::Settings, answer);
    f.begin();
    ASSERT_TRUE(f.service.waitFor(Endpoint::Settings, c.attempts, 20));
    f.waitForSessionEnd();
    EXPECT_EQ(f.service.count(Endpoint::Settings), c.attempts);
    EXPECT_EQ(f.notifications.count.load(), 0);
    EXPECT_EQ(readText(f.settingsFile()), R"({"app":{"status":"old"}})");
  }
}

TEST(HBRSettings, NewApplicationIsCreatedOnceThenTheSettingsAreFetchedAgain) {
  Fixture f;
  f.service.enqueue(Endpoint::Settings, json(200, R"({"app":{"status":"new"}})"));
  f.service.enqueue(Endpoint::Settings, json(200, R"({"app":{"status":"new","again":true}})"));
  f.begin();
  ASSERT_TRUE(f.notifications.posted.wait(20));
  f.waitForSessionEnd();
  EXPECT_EQ(f.notifications.count.load(), 1);
  EXPECT_EQ(f.service.count(Endpoint::Settings), 2u);
  auto creates = f.service.requests(Endpoint::AppCreate);
  ASSERT_EQ(creates.size(), 1u);  // the second "new" does not onboard again in this run
  EXPECT_EQ(f.service.count(Endpoint::AppUpdate), 0u);
  const auto& body = creates[0].body;
  EXPECT_NE(creates[0].header("Content-Type")->find("multipart/form-data; boundary="), std::string::npos);
  EXPECT_EQ(creates[0].header("Content-Length"), std::to_string(body.size()));
  for (const char* field :
       {"app[identifier]", "app[instance_identifier]", "app[build_version]", "app[display_version]", "app[source]",
        "app[minimum_sdk_version]", "app[built_sdk_version]", "app[build][libraries][org.kit]"})
    EXPECT_NE(body.find(std::string("name=\"") + field + "\""), std::string::npos) << field;
  EXPECT_EQ(body.find("app[icon]"), std::string::npos);  // no icon, no icon fields
  EXPECT_NE(body.find(kEmptySHA1), std::string::npos);
  EXPECT_TRUE(f.manager->hasAttemptedAppConfigure());
}

TEST(HBRSettings, UpdateRequiredPostsTheSettingsBeforeTheUpdate) {
  Fixture f;
  f.service.enqueue(Endpoint::Settings, json(200, R"({"app":{"status":"activated","update_required":true}})"));
  std::atomic<std::size_t> updatesWhenPosted{99};
  auto token = f.notifications.center->addObserver(
      std::string(HBRSettingsAvailableNotification), nullptr, nullptr,
      [&](const NotificationPtr&) { updatesWhenPosted = f.service.count(Endpoint::AppUpdate); });
  f.begin();
  ASSERT_TRUE(f.service.waitFor(Endpoint::AppUpdate, 1, 20));
  f.waitForSessionEnd();
  f.notifications.center->removeObserver(token);
  EXPECT_EQ(updatesWhenPosted.load(), 0u);
  EXPECT_EQ(f.notifications.count.load(), 1);
  auto updates = f.service.requests(Endpoint::AppUpdate);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].method, "PUT");
  EXPECT_EQ(updates[0].path, std::string("/spi/v1/platforms/mac/apps/") + kBundleID);
  EXPECT_EQ(f.service.count(Endpoint::AppCreate), 0u);
}

TEST(HBRSettings, WithoutAnEndpointNothingIsSent) {
  Fixture f;
  ScopedEnvironment noEndpoint("SettingsEndpoint", nullptr);
  EXPECT_FALSE(f.manager->settingsURL());
  f.begin();
  f.waitForSessionEnd();
  EXPECT_TRUE(f.service.logLines().empty());
  EXPECT_EQ(f.notifications.count.load(), 0);
}

TEST(HBRSettings, CorruptFileIsDeletedAndReadsAsNil) {
  TempDir dir;
  auto path = dir.path() / "settings.json";
  writeText(path, "{\"app\": ");
  auto settings = HBRSettings::make(path);
  EXPECT_TRUE(settings->settingsDictionary().isNil());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(settings->appNeedsOnboarding());
  writeText(path, R"({"app":null})");
  EXPECT_FALSE(settings->appStatus());
  EXPECT_TRUE(settings->appSettings().isNil());
}

TEST(HBRDownloadAndSaveSettingsOperation, ReplacingKeepsTheOldFileUntilTheNewOneIsComplete) {
  TempDir dir;
  auto destination = dir.path() / "data" / "app" / "settings.json";
  writeText(destination, "old");
  writeText(dir.path() / "data" / "app" / "other", "kept");
  ErrorPtr error;
  // A source that cannot be read changes nothing.
  EXPECT_FALSE(HBRDownloadAndSaveSettingsOperation::replaceSettingsFile(dir.path() / "missing", destination, &error));
  EXPECT_TRUE(error);
  EXPECT_EQ(readText(destination), "old");
  // A folder in the way of the file: the write fails, the folder's other files stay.
  writeText(dir.path() / "download", "new");
  auto blocked = dir.path() / "data" / "app" / "blocked";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_FALSE(HBRDownloadAndSaveSettingsOperation::replaceSettingsFile(dir.path() / "download", blocked));
  EXPECT_TRUE(std::filesystem::exists(blocked / "inside"));
  // Success replaces the file and leaves the folder's other files and no temporary file.
  ASSERT_TRUE(HBRDownloadAndSaveSettingsOperation::replaceSettingsFile(dir.path() / "download", destination));
  EXPECT_EQ(readText(destination), "new");
  EXPECT_EQ(readText(dir.path() / "data" / "app" / "other"), "kept");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(destination.parent_path())) ++entries;
  EXPECT_EQ(entries, 3u);  // settings.json, other, blocked
  // A missing folder is made.
  auto fresh = dir.path() / "new" / "deep" / "settings.json";
  ASSERT_TRUE(HBRDownloadAndSaveSettingsOperation::replaceSettingsFile(dir.path() / "download", fresh));
  EXPECT_EQ(readText(fresh), "new");
}

// --- The host and its kits -----------------------------------------------------------------------

namespace {

struct HostFixture {
  TempDir dir{"zorvel-harbor"};
  std::vector<std::string> started;
  HBRKitRegistry registry;
  ScopedEnvironment noEndpoint{"SettingsEndpoint", nullptr};

  HostFixture() {
    for (const char* name : {"Blackbox", "Tally", "Prism"})
      registry.registerKit({name, std::string("org.zorvel.kit.") + name, "3.8.6", std::nullopt,
                            [this, name] { started.push_back(name); }});
  }
  std::shared_ptr<Harbor> host() {
    HBRHostEnvironment environment;
    environment.bundle = Bundle::main();
    environment.userDefaults =
        BBXUserDefaults::make(dir.path() / "defaults", UserDefaults::withFile(dir.path() / "legacy.plist"));
    environment.registry = &registry;
    environment.settings.cachesDirectory = dir.path() / "caches";
    return Harbor::make(environment);
  }
};

}  // namespace

TEST(Harbor, KitListIsCompletedOrderedAndStartedOnce) {
  struct Case {
    const char* label;
    std::vector<std::string> given;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"the crash kit brings the analytics kit", {"Blackbox"}, {"Blackbox", "Tally"}},
      {"both given keep the caller's order", {"Tally", "Blackbox"}, {"Tally", "Blackbox"}},
      {"Prism moves to the front", {"Blackbox", "Prism"}, {"Prism", "Blackbox", "Tally"}},
      {"an unknown kit is skipped", {"Nonesuch", "Blackbox"}, {"Blackbox", "Tally"}},
      {"the analytics kit alone", {"Tally"}, {"Tally"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HostFixture f;
    MainBundle bundle(f.dir.path() / "bundle");
    auto host = f.host();
    host->startWithKits(c.given);
    EXPECT_EQ(host->kitClasses(), c.expected);
    EXPECT_EQ(f.started, c.expected);
    host->startWithKits({"Blackbox"});  // a second call starts nothing
    EXPECT_EQ(f.started, c.expected);
  }
}

TEST(Harbor, IdentifiersVersionsAndKitConfiguration) {
  HostFixture f;
  MainBundle bundle(f.dir.path() / "bundle");
  auto host = f.host();
  EXPECT_TRUE(host->isFirstInstall());
  EXPECT_EQ(host->installID().size(), 36u);
  EXPECT_EQ(host->executionIdentifier().size(), 32u);
  EXPECT_EQ(host->executionIdentifier().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(host->APIKey(), "test-api-key");
  auto again = f.host();  // the next run
  EXPECT_FALSE(again->isFirstInstall());
  EXPECT_EQ(again->installID(), host->installID());
  EXPECT_NE(again->executionIdentifier(), host->executionIdentifier());

  EXPECT_EQ(host->configurationDictionaryForKitClass("Blackbox")["level"].asInt64(), 3);
  EXPECT_TRUE(host->configurationDictionaryForKitClass("Tally").isDictionary());
  EXPECT_EQ(host->configurationDictionaryForKitClass("Tally").count(), 0u);
  EXPECT_TRUE(host->configurationDictionaryForKitClass("Prism").isNil());

  host->startWithKits({"Blackbox"});
  auto versions = host->kitVersionsByKitBundleIdentifier();
  EXPECT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions["org.zorvel.sdk.harbor"], "1.6.11");
  EXPECT_EQ(versions["org.zorvel.kit.Tally"], "3.8.6");
}

TEST(Harbor, ConfigurationErrorsRaiseWithTheirReasons) {
  auto harborWith = [](Value apiKey, Value kits) {
    ValueDictionary harbor;
    if (!apiKey.isNil()) harbor.set("APIKey", std::move(apiKey));
    if (!kits.isNil()) harbor.set("Kits", std::move(kits));
    return Value(std::move(harbor));
  };
  struct Case {
    const char* label;
    Value info;
    const char* reason;  // null: valid
  };
  const Case cases[] = {
      {"no information list", Value(ValueDictionary()), "[Harbor] Cannot find Info.plist."},
      {"Harbor is a string", infoDictionary(Value(std::string("key"))),
       "[Harbor] Value of Info.plist key \"Harbor\" must be a NSDictionary."},
      {"Harbor is missing", infoDictionary(Value()),
       "[Harbor] Value of Info.plist key \"Harbor\" must be a NSDictionary."},
      {"the key is a number", infoDictionary(harborWith(Value(5), Value(ValueArray()))),
       "[Harbor] Value of Info.plist[Harbor][APIKey] must contain your Harbor API Key."},
      {"no Kits only logs", infoDictionary(harborWith(Value(std::string("k")), Value())), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto failure = raised([&] { Harbor::validHarborConfigFromInfoPlist(c.info); });
    if (!c.reason) {
      EXPECT_FALSE(failure);
      continue;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->name(), "HBRException");
    EXPECT_EQ(failure->reason(), c.reason);
  }
  // Starting a host with a bad list raises too, and starts no kit.
  HostFixture f;
  MainBundle bundle(f.dir.path() / "bundle", infoDictionary(Value(std::string("key"))));
  auto host = f.host();
  auto failure = raised([&] { host->startWithKits({"Blackbox"}); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->name(), "HBRException");
  EXPECT_TRUE(f.started.empty());
}

TEST(HBRApplicationIdentiferModel, InstanceIdentifierIsTheDigestOfTheSortedSliceUUIDs) {
  auto none = HBRApplicationIdentiferModel::makeWithExecutableInfo("id", {}, {}, {});
  EXPECT_EQ(none->instanceIdentifier(), kEmptySHA1);
  auto two = HBRApplicationIdentiferModel::makeWithExecutableInfo("id", {{"x86_64", "bbbb"}, {"i386", "aaaa"}},
                                                                  {10, 9, 0}, {10, 12, 1});
  EXPECT_EQ(two->instanceIdentifier(), HBRSHA1HexStringFromBytes(reinterpret_cast<const std::uint8_t*>("aaaabbbb"), 8));
  EXPECT_EQ(two->minimumSDKString(), "10.9.0");
  EXPECT_EQ(two->builtSDKString(), "10.12.1");
  auto running = HBRApplicationIdentiferModel::make("id");
  ASSERT_TRUE(running);
  EXPECT_EQ(running->minimumSDKString(), "0.0.0");
  EXPECT_EQ(running->instanceIdentifier().size(), 40u);
}

TEST(HBROnboardingOperation, RequestsCarryTheIdentityAndTheIconAsAMultipartForm) {
  TempDir dir;
  // A bundle whose icon is a 64 x 48 PNG (its header is what the size is read from).
  const std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H',  'D',  'R',
                              0,    0,   0,   64,  0,    0,    0,    48,   8, 6, 0, 0,  0,   0x1f, 0x15, 0xc4};
  std::filesystem::create_directories(dir.path() / "bundle");
  std::ofstream(dir.path() / "bundle" / "AppIcon.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png), sizeof png);
  Value info = infoDictionary(harborDictionary());
  ValueDictionary withIcon = info.asDictionary();
  withIcon.set("CFBundleIconFile", Value(std::string("AppIcon")));
  MainBundle bundle(dir.path() / "bundle", Value(withIcon));
  auto icon = HBRAppIconUtility::applicationIcon();
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->dataHash(), HBRSHA1HexStringFromData(icon->data()));
  EXPECT_EQ(icon->size().width, 64);
  EXPECT_EQ(icon->size().height, 48);
  EXPECT_TRUE(icon->isWithinMaxSurfaceArea());

  auto model = HBRApplicationIdentiferModel::makeWithExecutableInfo("install", {{"x86_64", "abcd"}}, {}, {}, icon);
  auto client = HBRNetworkClient::make();
  struct Case {
    const char* label;
    bool create;
    const char* method;
    std::string url;
  };
  const Case cases[] = {
      {"create", true, "POST", "https://service.test/spi/v1/platforms/mac/apps"},
      {"update", false, "PUT", std::string("https://service.test/spi/v1/platforms/mac/apps/") + kBundleID},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto operation = HBROnboardingOperation::make(
        {}, c.create, std::string("key"), {{"org.zorvel.sdk.harbor", "1.6.11"}}, model, "https://service.test", client);
    ASSERT_TRUE(operation);
    URLRequest request = operation->onboardingRequestForAppCreate(c.create);
    EXPECT_EQ(request.HTTPMethod(), c.method);
    EXPECT_EQ(request.URL(), c.url);
    ASSERT_TRUE(request.HTTPBody());
    std::string body(request.HTTPBody()->begin(), request.HTTPBody()->end());
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
    for (const std::string& expected :
         {std::string(
              "name=\"app[build][libraries][org.zorvel.sdk.harbor]\"\r\nContent-Type: text/plain\r\n\r\n1.6.11"),
          std::string("name=\"app[slices][][arch]\"\r\nContent-Type: text/plain\r\n\r\nx86_64"),
          std::string("name=\"app[slices][][uuid]\"\r\nContent-Type: text/plain\r\n\r\nabcd"),
          "name=\"app[icon][hash]\"\r\nContent-Type: text/plain\r\n\r\n" + icon->dataHash(),
          std::string("name=\"app[icon][prerendered]\"\r\nContent-Type: text/plain\r\n\r\nfalse"),
          "name=\"app[icon][width]\"\r\nContent-Type: text/plain\r\n\r\n" +
              std::to_string(static_cast<unsigned long>(icon->size().width)),
          std::string("name=\"app[icon][data]\"; filename=\"icon.png\"\r\nContent-Type: image/png"),
          std::string("name=\"app[name]\"\r\nContent-Type: text/plain\r\n\r\nSettings Test")})
      EXPECT_NE(body.find(expected), std::string::npos) << expected;
    EXPECT_NE(body.find(std::string(icon->data().begin(), icon->data().end())), std::string::npos);
  }
  EXPECT_FALSE(HBROnboardingOperation::make({}, true, std::nullopt, {}, model, "https://service.test", client));
}

TEST(Harbor, StartingTheHostDownloadsTheSettingsFromTheService) {
  TempDir dir{"zorvel-harbor-start"};
  MainBundle bundle(dir.path() / "bundle");
  ReportService service(dir.path() / "service");
  ScopedEnvironment endpoint("SettingsEndpoint", service.baseURL().c_str());
  NotificationCounter notifications;
  HBRKitRegistry registry;
  std::vector<std::string> started;
  for (const char* name : {"Blackbox", "Tally"})
    registry.registerKit({name, std::string("org.zorvel.kit.") + name, "3.8.6", std::nullopt,
                          [&started, name] { started.push_back(name); }});
  HBRHostEnvironment environment;
  environment.userDefaults =
      BBXUserDefaults::make(dir.path() / "defaults", UserDefaults::withFile(dir.path() / "legacy.plist"));
  environment.registry = &registry;
  environment.settings.cachesDirectory = dir.path() / "caches";
  environment.settings.pinnedCertificates =
      Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate);
  environment.settings.notificationCenter = notifications.center;
  auto host = Harbor::make(environment);
  host->startWithKits({"Blackbox"});
  EXPECT_EQ(started, (std::vector<std::string>{"Blackbox", "Tally"}));
  ASSERT_TRUE(notifications.posted.wait(20));
  auto requests = service.requests(Endpoint::Settings);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("X-Blackbox-Installation-ID"), host->installID());
  EXPECT_NE(requests[0].path.find("&instance=" + host->instanceIdentifier() + "&"), std::string::npos);
  EXPECT_EQ(host->settings()["app"]["status"].asString(), "activated");
}

TEST(HBRSettings, FailedCreationIsLoggedAndPostsNothing) {
  Fixture f;
  f.service.enqueue(Endpoint::Settings, json(200, R"({"app":{"status":"new"}})"));
  f.service.enqueue(Endpoint::AppCreate, json(422, R"({"error":"bad icon"})"));
  f.begin();
  ASSERT_TRUE(f.service.waitFor(Endpoint::AppCreate, 1, 20));
  f.waitForSessionEnd();
  EXPECT_EQ(f.service.count(Endpoint::AppCreate), 1u);  // a client error is not retried
  EXPECT_EQ(f.service.count(Endpoint::Settings), 1u);
  EXPECT_EQ(f.notifications.count.load(), 0);
}

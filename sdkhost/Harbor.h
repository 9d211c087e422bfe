#pragma once

// The host of the kits that run inside the application (the crash kit "Blackbox", the analytics
// kit "Tally"). The application starts it once at launch with the kits it wants; the host reads
// its configuration from the application's information property list, keeps the identifiers the
// kits share, completes and orders the kit list, starts each kit, then downloads the settings
// and onboards the application (HBRSettingsOnboardingManager).
//
// Kits: a kit is known by its class name in a kit registry (HBRKitRegistry), where each kit
// registers its description (bundle identifier, version, start function). The list is completed
// in this order: "Orbit", when registered and not listed, is appended; "Tally" is appended after
// "Blackbox" when both are registered, "Blackbox" is listed and "Tally" is not; a listed "Prism"
// moves to the front. Kits then start in list order. A name the registry cannot find is logged
// and skipped.
//
// Configuration: the information dictionary's "Harbor" must be a dictionary (else "HBRException"
// "[Harbor] Value of Info.plist key \"Harbor\" must be a NSDictionary."), "APIKey" in it a string
// (else "HBRException" "[Harbor] Value of Info.plist[Harbor][APIKey] must contain your Harbor API
// Key."); a "Kits" that is not an array is only logged. An empty information dictionary raises
// "[Harbor] Cannot find Info.plist.".
//
// Threads: the start runs once, on the caller's thread (a racing second call waits for it, later
// calls log and do nothing); the settings work continues on the network client's session queue.
// The properties are written while the host starts and only read afterwards.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"
#include "sdkhost/BBXUserDefaults.h"
#include "sdkhost/HBRApplicationIdentiferModel.h"
#include "sdkhost/HBRSettingsOnboardingManager.h"

inline constexpr std::string_view kHBRException = "HBRException";

// A kit as the host knows it.
struct HBRKit {
  std::string name;  // the class name the application and the information list use
  std::string bundleIdentifier;
  std::string kitDisplayVersion;
  std::optional<std::string> kitBuildVersion;
  std::function<void()> initializeIfNeeded;  // may be empty
};

class HBRKitRegistry {
 public:
  // The process's registry, where the kits linked into it register.
  static HBRKitRegistry& shared();

  // Replaces a kit of the same name.
  void registerKit(HBRKit kit);
  std::optional<HBRKit> kitNamed(const std::string& name) const;

 private:
  mutable platform::Mutex mutex_;
  std::map<std::string, HBRKit> kits_ ZORVEL_GUARDED_BY(mutex_);
};

// What a host reads and where its work goes; every field has a default.
struct HBRHostEnvironment {
  platform::BundlePtr bundle;                     // null: the main bundle
  std::shared_ptr<BBXUserDefaults> userDefaults;  // null: the standard store
  HBRKitRegistry* registry = nullptr;             // null: the shared registry
  HBRSettingsEnvironment settings;                // its bundle is set from `bundle`
};

class Harbor : public platform::Object {
  ZORVEL_CLASS(Harbor, platform::Object)

 public:
  static std::shared_ptr<Harbor> sharedSDK();
  // Starts the shared host with the kits (by class name); answers it.
  static std::shared_ptr<Harbor> with(const std::vector<std::string>& kits);

  // A host of its own (tests, embedding programs).
  static std::shared_ptr<Harbor> make(HBRHostEnvironment environment = {});
  // The one-time start of this host.
  void startWithKits(const std::vector<std::string>& kits);

  // The validated "Harbor" dictionary; raises HBRException as above.
  static platform::Value validHarborConfigFromInfoPlist(const platform::Value& infoDictionary);
  platform::Value harborConfig();

  std::optional<std::string> APIKey();
  void setAPIKey(std::optional<std::string> key);
  bool debug() const;
  void setDebug(bool debug);
  std::optional<std::string> advertisingToken() const;
  void setAdvertisingToken(std::optional<std::string> token);
  bool isFirstInstall() const { return isFirstInstall_; }
  const std::string& installID() const { return installID_; }
  const std::string& executionIdentifier() const { return executionIdentifier_; }
  std::vector<std::string> kitClasses() const;
  const std::shared_ptr<HBRApplicationIdentiferModel>& applicationIdentifierModel() const { return model_; }
  const std::shared_ptr<HBRSettingsOnboardingManager>& settingsAndOnboardingManager() const { return manager_; }
  platform::Value settings() const;
  std::string instanceIdentifier() const;

  // The "KitInfo" of the kit's "Kits" entry: nil without an entry, empty without "KitInfo".
  platform::Value configurationDictionaryForKitClass(const std::string& kit);
  std::map<std::string, std::string> kitVersionsByKitBundleIdentifier() const;
  void onboardAppAndDownloadSettings();

  // The defaults key of the installation identifier.
  static std::string installIdentifierKey();

 private:
  Harbor() = default;
  void initialize(HBRHostEnvironment environment);
  std::vector<std::string> completedKitList(std::vector<std::string> kits) const;

  HBRHostEnvironment environment_;
  HBRKitRegistry* registry_ = nullptr;
  bool isFirstInstall_ = false;
  std::string installID_;
  std::string executionIdentifier_;
  std::shared_ptr<HBRApplicationIdentiferModel> model_;
  std::shared_ptr<HBRSettingsOnboardingManager> manager_;
  std::once_flag started_;
  std::atomic<bool> startBegun_{false};

  mutable platform::Mutex mutex_;
  std::optional<platform::Value> harborConfig_ ZORVEL_GUARDED_BY(mutex_);
  std::optional<std::string> apiKey_ ZORVEL_GUARDED_BY(mutex_);
  std::optional<std::string> advertisingToken_ ZORVEL_GUARDED_BY(mutex_);
  std::vector<std::string> kitClasses_ ZORVEL_GUARDED_BY(mutex_);
};

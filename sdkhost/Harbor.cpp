#include "sdkhost/Harbor.h"

#include <algorithm>
#include <cctype>

#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/system/console.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRHost.h"
#include "sdkhost/HBRIcon.h"

using namespace platform;

// --- Kit registry --------------------------------------------------------------------------------

HBRKitRegistry& HBRKitRegistry::shared() {
  static HBRKitRegistry* registry = new HBRKitRegistry;  // lives until the process ends
  return *registry;
}

void HBRKitRegistry::registerKit(HBRKit kit) {
  MutexLock lock(mutex_);
  std::string name = kit.name;
  kits_.insert_or_assign(std::move(name), std::move(kit));
}

std::optional<HBRKit> HBRKitRegistry::kitNamed(const std::string& name) const {
  MutexLock lock(mutex_);
  auto found = kits_.find(name);
  if (found == kits_.end()) return std::nullopt;
  return found->second;
}

// --- The host ------------------------------------------------------------------------------------

std::shared_ptr<Harbor> Harbor::sharedSDK() {
  static const std::shared_ptr<Harbor> shared = make();
  return shared;
}

std::shared_ptr<Harbor> Harbor::with(const std::vector<std::string>& kits) {
  auto host = sharedSDK();
  host->startWithKits(kits);
  return host;
}

std::string Harbor::installIdentifierKey() { return std::string(kHBRMakerReverseDomain) + ".iuuid"; }

std::shared_ptr<Harbor> Harbor::make(HBRHostEnvironment environment) {
  auto host = platform::make<Harbor>();
  host->initialize(std::move(environment));
  return host;
}

void Harbor::initialize(HBRHostEnvironment environment) {
  if (!environment.bundle) environment.bundle = Bundle::main();
  if (!environment.userDefaults) environment.userDefaults = BBXUserDefaults::standardUserDefaults();
  registry_ = environment.registry ? environment.registry : &HBRKitRegistry::shared();
  environment.settings.bundle = environment.bundle;
  environment_ = std::move(environment);

  auto& defaults = *environment_.userDefaults;
  Value stored = defaults.objectForKeyByMigratingFromNSUserDefaults(installIdentifierKey());
  if (stored.isString() && !stored.asString().empty()) {
    installID_ = stored.asString();
  } else {
    isFirstInstall_ = true;
    installID_ = HBRGenerateUUID();
    defaults.setString(installID_, installIdentifierKey());
    if (!defaults.synchronize()) consoleLog("[Harbor] Could not store the installation identifier");
  }
  std::string execution = HBRGenerateUUID();
  execution.erase(std::remove(execution.begin(), execution.end(), '-'), execution.end());
  std::transform(execution.begin(), execution.end(), execution.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  executionIdentifier_ = execution;

  model_ = HBRApplicationIdentiferModel::make(installID_, HBRAppIconUtility::applicationIcon(environment_.bundle));
  manager_ = HBRSettingsOnboardingManager::make(model_, environment_.settings);
}

Value Harbor::validHarborConfigFromInfoPlist(const Value& infoDictionary) {
  if (!infoDictionary.isDictionary() || infoDictionary.count() == 0)
    Exception::raise(kHBRException, format("[%@] Cannot find Info.plist.", std::string("Harbor")));
  const Value& harbor = infoDictionary["Harbor"];
  if (!harbor.isDictionary())
    Exception::raise(kHBRException, format("[%@] Value of Info.plist key \"%@\" must be a NSDictionary.",
                                           std::string("Harbor"), std::string("Harbor")));
  if (!harbor["Kits"].isArray())
    consoleLog(format("[Harbor] [%@] Value of Info.plist[%@][%@] should be a NSArray.", std::string("Harbor"),
                      std::string("Harbor"), std::string("Kits")));
  if (!harbor["APIKey"].isString())
    Exception::raise(kHBRException,
                     format("[%@] Value of Info.plist[%@][%@] must contain your %@ API Key.", std::string("Harbor"),
                            std::string("Harbor"), std::string("APIKey"), std::string("Harbor")));
  return harbor;
}

Value Harbor::harborConfig() {
  {
    MutexLock lock(mutex_);
    if (harborConfig_) return *harborConfig_;
  }
  Value config = validHarborConfigFromInfoPlist(environment_.bundle->infoDictionary());
  MutexLock lock(mutex_);
  harborConfig_ = config;
  return config;
}

std::optional<std::string> Harbor::APIKey() {
  {
    MutexLock lock(mutex_);
    if (apiKey_) return apiKey_;
  }
  const Value& key = harborConfig()["APIKey"];
  MutexLock lock(mutex_);
  if (!apiKey_ && key.isString()) apiKey_ = key.asString();
  if (!apiKey_)
    consoleLog("[Harbor] Harbor API Key is nil! Harbor won't work unless there is a valid API Key setup in Info.plist");
  return apiKey_;
}

void Harbor::setAPIKey(std::optional<std::string> key) {
  MutexLock lock(mutex_);
  apiKey_ = std::move(key);
}

bool Harbor::debug() const { return HBRDebugEnabled(); }
void Harbor::setDebug(bool debug) { HBRSetDebugEnabled(debug); }

std::optional<std::string> Harbor::advertisingToken() const {
  MutexLock lock(mutex_);
  return advertisingToken_;
}

void Harbor::setAdvertisingToken(std::optional<std::string> token) {
  MutexLock lock(mutex_);
  advertisingToken_ = std::move(token);
}

std::vector<std::string> Harbor::kitClasses() const {
  MutexLock lock(mutex_);
  return kitClasses_;
}

Value Harbor::settings() const { return manager_ ? manager_->settingsModel()->settingsDictionary() : Value(); }

std::string Harbor::instanceIdentifier() const { return model_ ? model_->instanceIdentifier() : std::string(); }

Value Harbor::configurationDictionaryForKitClass(const std::string& kit) {
  const Value& kits = harborConfig()["Kits"];
  if (!kits.isArray()) return Value();
  for (const Value& entry : kits.asArray()) {
    if (!entry.isDictionary()) continue;
    const Value& name = entry["KitName"];
    if (!name.isString() || name.asString() != kit) continue;
    const Value& info = entry["KitInfo"];
    return info.isDictionary() ? info : Value(ValueDictionary());
  }
  return Value();
}

std::map<std::string, std::string> Harbor::kitVersionsByKitBundleIdentifier() const {
  std::map<std::string, std::string> versions;
  for (const std::string& name : kitClasses()) {
    if (auto kit = registry_->kitNamed(name)) versions[kit->bundleIdentifier] = kit->kitDisplayVersion;
  }
  versions[std::string(kHBRBundleIdentifier)] = std::string(kHBRVersion);
  if (HBRDebugEnabled()) {
    std::string listed;
    for (const auto& [identifier, version] : versions) listed += " " + identifier + " = " + version + ";";
    consoleLog(format("[Harbor] Initialized with kit versions: {%@ }", listed));
  }
  return versions;
}

std::vector<std::string> Harbor::completedKitList(std::vector<std::string> kits) const {
  auto listed = [&](const std::string& name) { return std::find(kits.begin(), kits.end(), name) != kits.end(); };
  auto known = [&](const std::string& name) { return registry_->kitNamed(name).has_value(); };
  if (known("Orbit") && !listed("Orbit")) kits.push_back("Orbit");
  if (known("Blackbox") && known("Tally") && listed("Blackbox") && !listed("Tally")) kits.push_back("Tally");
  if (known("Prism") && listed("Prism")) {
    kits.erase(std::remove(kits.begin(), kits.end(), std::string("Prism")), kits.end());
    kits.insert(kits.begin(), "Prism");
  }
  return kits;
}

void Harbor::startWithKits(const std::vector<std::string>& kits) {
  if (startBegun_.exchange(true))
    consoleLog(
        "[Harbor] [Harbor +with] called multiple times. Only the first call is honored, please pass all kits you "
        "wish to initialize");
  std::call_once(started_, [&] {
    if (!APIKey()) return;
    std::vector<std::string> known;
    for (const std::string& name : kits) {
      if (registry_->kitNamed(name)) {
        known.push_back(name);
      } else {
        consoleLog(format("[%@] It appears that \"%@\" is not a valid Harbor Kit. It is skipped.",
                          std::string("Harbor"), name));
      }
    }
    std::vector<std::string> ordered = completedKitList(std::move(known));
    {
      MutexLock lock(mutex_);
      kitClasses_ = ordered;
    }
    for (const std::string& name : ordered) {
      auto kit = registry_->kitNamed(name);
      if (kit && kit->initializeIfNeeded) kit->initializeIfNeeded();
    }
    onboardAppAndDownloadSettings();
  });
}

void Harbor::onboardAppAndDownloadSettings() {
  if (!manager_) return;
  auto key = APIKey();
  if (!key) return;
  manager_->beginSettingsAndOnboardingOperationsWithAPIKey(*key, kitVersionsByKitBundleIdentifier(),
                                                           advertisingToken());
}

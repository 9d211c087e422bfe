#include "sdkhost/HBRSettingsOnboardingManager.h"

#include <cstdlib>

#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/console.h"
#include "sdkhost/HBRCertificatePinner.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRPinnedCertificatesData.h"

using namespace platform;

namespace {
void debugLog(std::string_view message) {
  if (HBRDebugEnabled()) consoleLog(message);
}
}  // namespace

std::shared_ptr<HBRSettingsOnboardingManager> HBRSettingsOnboardingManager::make(
    std::shared_ptr<HBRApplicationIdentiferModel> appIdentifierModel, HBRSettingsEnvironment environment) {
  auto manager = platform::make<HBRSettingsOnboardingManager>();
  if (!environment.bundle) environment.bundle = Bundle::main();
  if (!environment.notificationCenter) environment.notificationCenter = NotificationCenter::defaultCenter();
  if (environment.cachesDirectory.empty())
    environment.cachesDirectory = FileManager::defaultManager().cachesDirectory();
  auto pins = environment.pinnedCertificates ? *environment.pinnedCertificates : HBRPinnedCertificates();
  manager->networkClient_ = HBRNetworkClient::make(nullptr, std::move(pins), environment.sessionConfiguration);
  if (manager->networkClient_ && environment.retryScheduler)
    manager->networkClient_->setRetryScheduler(environment.retryScheduler);
  manager->model_ = std::move(appIdentifierModel);
  manager->environment_ = std::move(environment);
  manager->settings_ = HBRSettings::make(manager->settingsPath());
  return manager;
}

std::shared_ptr<HBRSettingsOnboardingManager> HBRSettingsOnboardingManager::self() {
  return std::static_pointer_cast<HBRSettingsOnboardingManager>(shared_from_this());
}

bool HBRSettingsOnboardingManager::hasAttemptedAppConfigure() const {
  MutexLock lock(mutex_);
  return hasAttemptedAppConfigure_;
}

std::filesystem::path HBRSettingsOnboardingManager::settingsDirectoryPath() const {
  std::string bundleIdentifier = environment_.bundle->bundleIdentifier().value_or("");
  return environment_.cachesDirectory / format("%@.data", std::string(kHBRBundleIdentifier)) / bundleIdentifier;
}

Value HBRSettingsOnboardingManager::configuration() const {
  const Value& blackbox = environment_.bundle->objectForInfoDictionaryKey("Blackbox");
  return blackbox.isDictionary() ? blackbox : Value();
}

std::optional<std::string> HBRSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) const {
  if (const char* value = std::getenv(key.c_str()); value && *value) return std::string(value);
  const Value& configured = configuration()[key];
  if (configured.isString() && !configured.asString().empty()) return configured.asString();
  return std::nullopt;  // no default service: nothing is sent unless an endpoint is configured
}

std::optional<std::string> HBRSettingsOnboardingManager::appIconHash() const {
  if (!model_ || !model_->icon() || model_->icon()->dataHash().empty()) return std::nullopt;
  return model_->icon()->dataHash();
}

std::optional<std::string> HBRSettingsOnboardingManager::settingsURL() const {
  auto endpoint = valueForConfigurationKey("SettingsEndpoint");
  if (!endpoint || !model_) return std::nullopt;
  return HBRSettings::settingsURLForEndpoint(*endpoint, model_->instanceIdentifier(), appIconHash());
}

void HBRSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::string& APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
    std::optional<std::string> advertisingToken) {
  {
    MutexLock lock(mutex_);
    apiKey_ = APIKey;
    kitVersions_ = std::move(kitVersionsByKitBundleIdentifier);
    advertisingToken_ = std::move(advertisingToken);
  }
  beginSettingsDownload();
}

void HBRSettingsOnboardingManager::beginSettingsDownload() {
  auto url = settingsURL();
  if (!url || !networkClient_) {
    debugLog("[Harbor] No settings endpoint is configured; settings are not downloaded");
    return;
  }
  std::shared_ptr<HBRDownloadAndSaveSettingsOperation> operation;
  {
    MutexLock lock(mutex_);
    operation =
        HBRDownloadAndSaveSettingsOperation::make(apiKey_, self(), *url, settingsDirectoryPath(), settingsPath(),
                                                  model_->installID(), advertisingToken_, networkClient_);
    downloadOperation_ = operation;
  }
  if (operation) operation->start();
}

void HBRSettingsOnboardingManager::beginOnboarding(bool create, const std::string& endpointString) {
  std::shared_ptr<HBROnboardingOperation> operation;
  {
    MutexLock lock(mutex_);
    if (onboardingOperation_) onboardingOperation_->cancel();
    operation =
        HBROnboardingOperation::make(self(), create, apiKey_, kitVersions_, model_, endpointString, networkClient_);
    onboardingOperation_ = operation;
  }
  if (operation) {
    operation->start();
  } else {
    consoleLog("[Harbor] configure failed during onboarding");
    finishNetworkingSession();
  }
}

void HBRSettingsOnboardingManager::finishNetworkingSession() {
  if (networkClient_) networkClient_->invalidateAndCancel();
}

void HBRSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
  debugLog("[Harbor] Settings are available for consumption");
  environment_.notificationCenter->post(std::string(HBRSettingsAvailableNotification));
}

void HBRSettingsOnboardingManager::operationDidDownloadAndSaveSettings(
    const std::shared_ptr<HBRDownloadAndSaveSettingsOperation>&, const ErrorPtr& error) {
  if (error) {
    consoleLog(format("[Harbor] failed to download settings %@", error->description()));
    finishNetworkingSession();
    return;
  }
  debugLog("[Harbor] settings downloaded successfully");
  settings_->clearSettingsDictionary();
  bool create = false;
  if (hasAttemptedAppConfigure()) {
    debugLog("[Harbor] App already onboarded in this run of the app");
    postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }
  if (settings_->appNeedsOnboarding()) {
    debugLog("[Harbor] Starting onboarding with app create");
    create = true;
  } else {
    postSettingsDownloadCompletedNotification();
    if (!settings_->appUpdateRequired()) {
      finishNetworkingSession();
      return;
    }
    debugLog("[Harbor] Starting onboarding with app update");
  }
  auto endpoint = valueForConfigurationKey("ConfigureEndpoint");
  {
    MutexLock lock(mutex_);
    hasAttemptedAppConfigure_ = true;
  }
  if (!endpoint) {
    debugLog("[Harbor] No configure endpoint is configured; the application is not onboarded");
    if (create) postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }
  beginOnboarding(create, *endpoint);
}

void HBRSettingsOnboardingManager::onboardingOperationDidCompleteAppCreation(
    const std::shared_ptr<HBROnboardingOperation>&, const ErrorPtr& error) {
  if (error) {
    consoleLog(format("[Harbor] unable to complete application configure: %@", error->description()));
    finishNetworkingSession();
    return;
  }
  {
    MutexLock lock(mutex_);
    onboardingOperation_ = nullptr;
  }
  debugLog("[Harbor] completed configure");
  beginSettingsDownload();
}

void HBRSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdate(
    const std::shared_ptr<HBROnboardingOperation>&, const ErrorPtr& error) {
  finishNetworkingSession();
  if (error) {
    consoleLog(format("[Harbor] unable to complete application update: %@", error->description()));
    return;
  }
  {
    MutexLock lock(mutex_);
    onboardingOperation_ = nullptr;
  }
  debugLog("[Harbor] completed application update");
}

#pragma once

// Drives the launch's settings download and onboarding: downloads the settings; when the service
// does not know the application ("app"."status" "new") creates it and downloads the settings
// again; when it asks for an update ("app"."update_required") posts the settings notification
// and updates it; else posts "HBRSettingsAvailableNotification" (no object, no user info) and
// ends. Onboarding happens at most once per run, and a failed download leaves the previous
// settings file and posts nothing. Ending the session invalidates the network client, so the
// host sends nothing more in that run.
//
// Endpoints: "SettingsEndpoint" and "ConfigureEndpoint", each from the process environment, else
// from the "Blackbox" dictionary of the information property list. With no endpoint configured
// nothing is sent and nothing fails: the download is skipped (logged in debug mode).
//
// Settings file: "<caches>/<host bundle id>.data/<main bundle id>/settings.json", <caches> being
// the user's cache folder ($XDG_CACHE_HOME, else ~/.cache) unless another is given.
//
// Threads: the flow starts on the caller's thread; each later step runs on the network client's
// session queue, one at a time (each step starts the next). The notification is posted on the
// thread of the completion.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url_session.h"
#include "platform/runtime/object.h"
#include "platform/services/bundle.h"
#include "platform/services/notification_center.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"
#include "sdkhost/HBRApplicationIdentiferModel.h"
#include "sdkhost/HBRDownloadAndSaveSettingsOperation.h"
#include "sdkhost/HBRNetworkClient.h"
#include "sdkhost/HBROnboardingOperation.h"
#include "sdkhost/HBRSettings.h"

inline constexpr std::string_view HBRSettingsAvailableNotification = "HBRSettingsAvailableNotification";

// Where the host's settings work runs and whom it trusts. Every field has a default.
struct HBRSettingsEnvironment {
  platform::BundlePtr bundle;             // null: the main bundle
  std::filesystem::path cachesDirectory;  // empty: the user's cache folder
  // The roots the service's certificates must lead to; nullopt: the host's pinned set.
  std::optional<std::vector<platform::CertificatePtr>> pinnedCertificates;
  std::optional<platform::URLSessionConfiguration> sessionConfiguration;
  std::shared_ptr<platform::NotificationCenter> notificationCenter;  // null: the default centre
  HBRNetworkClient::RetryScheduler retryScheduler;                   // empty: the client's own waits
};

class HBRSettingsOnboardingManager : public platform::Object,
                                     public HBRDownloadAndSaveSettingsOperationDelegate,
                                     public HBROnboardingOperationDelegate {
  ZORVEL_CLASS(HBRSettingsOnboardingManager, platform::Object)

 public:
  static std::shared_ptr<HBRSettingsOnboardingManager> make(
      std::shared_ptr<HBRApplicationIdentiferModel> appIdentifierModel, HBRSettingsEnvironment environment = {});

  const std::shared_ptr<HBRApplicationIdentiferModel>& appIdentifierModel() const { return model_; }
  const std::shared_ptr<HBRSettings>& settingsModel() const { return settings_; }
  const std::shared_ptr<HBRNetworkClient>& networkClient() const { return networkClient_; }
  bool hasAttemptedAppConfigure() const;

  // "<caches>/<host bundle id>.data/<main bundle id>".
  std::filesystem::path settingsDirectoryPath() const;
  std::filesystem::path settingsPath() const { return settingsDirectoryPath() / "settings.json"; }
  // The environment variable, else the information list's "Blackbox" value (strings only).
  std::optional<std::string> valueForConfigurationKey(const std::string& key) const;
  platform::Value configuration() const;
  std::optional<std::string> appIconHash() const;
  // Null when there is no settings endpoint.
  std::optional<std::string> settingsURL() const;

  void beginSettingsAndOnboardingOperationsWithAPIKey(
      const std::string& APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
      std::optional<std::string> advertisingToken = {});
  void beginSettingsDownload();
  void beginOnboarding(bool create, const std::string& endpointString);
  void finishNetworkingSession();
  void postSettingsDownloadCompletedNotification();

  void operationDidDownloadAndSaveSettings(const std::shared_ptr<HBRDownloadAndSaveSettingsOperation>& operation,
                                           const platform::ErrorPtr& error) override;
  void onboardingOperationDidCompleteAppCreation(const std::shared_ptr<HBROnboardingOperation>& operation,
                                                 const platform::ErrorPtr& error) override;
  void onboardingOperationDidCompleteAppUpdate(const std::shared_ptr<HBROnboardingOperation>& operation,
                                               const platform::ErrorPtr& error) override;

 private:
  HBRSettingsOnboardingManager() = default;
  std::shared_ptr<HBRSettingsOnboardingManager> self();

  std::shared_ptr<HBRApplicationIdentiferModel> model_;
  HBRSettingsEnvironment environment_;
  std::shared_ptr<HBRSettings> settings_;
  std::shared_ptr<HBRNetworkClient> networkClient_;

  mutable platform::Mutex mutex_;
  bool hasAttemptedAppConfigure_ ZORVEL_GUARDED_BY(mutex_) = false;
  std::string apiKey_ ZORVEL_GUARDED_BY(mutex_);
  std::map<std::string, std::string> kitVersions_ ZORVEL_GUARDED_BY(mutex_);
  std::optional<std::string> advertisingToken_ ZORVEL_GUARDED_BY(mutex_);
  std::shared_ptr<HBROnboardingOperation> onboardingOperation_ ZORVEL_GUARDED_BY(mutex_);
  std::shared_ptr<HBRDownloadAndSaveSettingsOperation> downloadOperation_ ZORVEL_GUARDED_BY(mutex_);
};

#pragma once

// The settings the service sent, as stored in "settings.json": read on first use and kept until
// clearSettingsDictionary(). A file that does not parse as a JSON dictionary is deleted (logged
// "[Harbor] Could not load settings with error: ...") and reads as nil, as does a missing file.
// The host itself reads "app" (null counts as missing), "app"."status" ("new": the service does
// not know the application) and "app"."update_required"; the kits read their own keys.
//
// Also builds the settings URL: <endpoint>/spi/v2/platforms/mac/apps/<escaped bundle id>/settings
// with "build_version", "display_version", "instance", "icon_hash" and "source" in that order, a
// parameter without a value left out.
//
// Threads: any thread; the cached dictionary is under a lock.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

class HBRSettings : public platform::Object {
  ZORVEL_CLASS(HBRSettings, platform::Object)

 public:
  static std::shared_ptr<HBRSettings> make(std::filesystem::path settingsPath);

  const std::filesystem::path& settingsPath() const { return settingsPath_; }
  // The parsed file (a dictionary), or nil.
  platform::Value settingsDictionary();
  void clearSettingsDictionary();

  platform::Value appSettings();
  std::optional<std::string> appStatus();
  bool appNeedsOnboarding();
  bool appUpdateRequired();

  static std::string appBundleIdentifier();
  static std::string appPlatform() { return "mac"; }
  static std::optional<std::string> appBuildVersion();
  static std::optional<std::string> appDisplayVersion();
  static int appSource();

  static std::string settingsURLForEndpoint(const std::string& endpoint, const std::string& appInstanceIdentifier,
                                            const std::optional<std::string>& appIconHash);

 private:
  HBRSettings() = default;

  std::filesystem::path settingsPath_;
  platform::Mutex mutex_;
  bool loaded_ ZORVEL_GUARDED_BY(mutex_) = false;
  platform::Value dictionary_ ZORVEL_GUARDED_BY(mutex_);
};

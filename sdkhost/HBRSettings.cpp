#include "sdkhost/HBRSettings.h"

#include "platform/codecs/json.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/console.h"
#include "sdkhost/HBRHost.h"
#include "sdkhost/HBRURLBuilder.h"

using namespace platform;

std::shared_ptr<HBRSettings> HBRSettings::make(std::filesystem::path settingsPath) {
  auto settings = platform::make<HBRSettings>();
  settings->settingsPath_ = std::move(settingsPath);
  return settings;
}

Value HBRSettings::settingsDictionary() {
  MutexLock lock(mutex_);
  if (loaded_) return dictionary_;
  auto& files = FileManager::defaultManager();
  ErrorPtr readError;
  auto data = files.readFile(settingsPath_, &readError);
  if (!data) return Value();  // not there (yet): read again next time
  ErrorPtr error;
  Value parsed = jsonObjectWithData(*data, 0, &error);
  if (!parsed.isDictionary()) {
    consoleLog(format("[Harbor] Could not load settings with error: %@",
                      error ? error->description() : std::string("the settings are not a dictionary")));
    files.removeItem(settingsPath_);
    return Value();
  }
  dictionary_ = std::move(parsed);
  loaded_ = true;
  return dictionary_;
}

void HBRSettings::clearSettingsDictionary() {
  MutexLock lock(mutex_);
  loaded_ = false;
  dictionary_ = Value();
}

Value HBRSettings::appSettings() {
  Value app = settingsDictionary()["app"];
  return app.isDictionary() ? app : Value();
}

std::optional<std::string> HBRSettings::appStatus() {
  const Value& status = appSettings()["status"];
  if (!status.isString()) return std::nullopt;
  return status.asString();
}

bool HBRSettings::appNeedsOnboarding() { return appStatus() == "new"; }

bool HBRSettings::appUpdateRequired() {
  const Value& required = appSettings()["update_required"];
  return (required.isBool() || required.isNumber()) && required.asBool();
}

std::string HBRSettings::appBundleIdentifier() { return HBRApplicationEscapedBundleIdentifier(); }
std::optional<std::string> HBRSettings::appBuildVersion() { return HBRApplicationBuildVersion(); }
std::optional<std::string> HBRSettings::appDisplayVersion() { return HBRApplicationDisplayVersion(); }
int HBRSettings::appSource() { return HBRApplicationInstallationSource(); }

std::string HBRSettings::settingsURLForEndpoint(const std::string& endpoint, const std::string& appInstanceIdentifier,
                                                const std::optional<std::string>& appIconHash) {
  auto optional = [](const std::optional<std::string>& text) { return text ? Value(*text) : Value(); };
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(endpoint);
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier());
  builder.appendComponent("/settings");
  builder.appendValue(optional(appBuildVersion()), "build_version");
  builder.appendValue(optional(appDisplayVersion()), "display_version");
  builder.appendValue(Value(appInstanceIdentifier), "instance");
  builder.appendValue(optional(appIconHash), "icon_hash");
  builder.appendValue(Value(appSource()), "source");
  return builder.URLString();
}

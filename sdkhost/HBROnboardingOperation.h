#pragma once

// Registers the application with the service ("onboarding"): creates it (POST
// <endpoint>/spi/v1/platforms/mac/apps, retry limit 10) or updates it (PUT
// <endpoint>/spi/v1/platforms/mac/apps/<escaped bundle id>, retry limit 1), with the identity
// as a multipart form: "app[identifier]", "app[instance_identifier]", "app[name]",
// "app[build_version]", "app[display_version]", "app[source]", "app[minimum_sdk_version]",
// "app[built_sdk_version]", one "app[build][libraries][<kit bundle id>]" per kit version, an
// "app[slices][][arch]" and "app[slices][][uuid]" pair per architecture, and, when the identity
// has an icon, "app[icon][hash]", "[prerendered]", "[width]", "[height]" and the file part
// "app[icon][data]" ("icon.png", "image/png").
//
// An answer the response rules do not accept as success is an error. The delegate hears the
// outcome once (create or update), then the operation finishes with the same error.
//
// Threads: started on any thread; the completion runs on the network client's session queue.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "sdkhost/HBRApplicationIdentiferModel.h"
#include "sdkhost/HBRNetworkClient.h"
#include "sdkhost/HBRNetworkOperation.h"

inline constexpr std::string_view kHBRSDKOnboardingErrorDomain = "HBRSDKOnboardingErrorDomain";

class HBROnboardingOperation;

class HBROnboardingOperationDelegate {
 public:
  virtual ~HBROnboardingOperationDelegate() = default;
  virtual void onboardingOperationDidCompleteAppCreation(const std::shared_ptr<HBROnboardingOperation>& operation,
                                                         const platform::ErrorPtr& error) = 0;
  virtual void onboardingOperationDidCompleteAppUpdate(const std::shared_ptr<HBROnboardingOperation>& operation,
                                                       const platform::ErrorPtr& error) = 0;
};

class HBROnboardingOperation : public HBRNetworkOperation {
  ZORVEL_CLASS(HBROnboardingOperation, HBRNetworkOperation)

 public:
  // Null for a missing key. The delegate and the client are held weakly.
  static std::shared_ptr<HBROnboardingOperation> make(
      std::weak_ptr<HBROnboardingOperationDelegate> delegate, bool shouldCreate,
      const std::optional<std::string>& APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
      std::shared_ptr<HBRApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
      std::weak_ptr<HBRNetworkClient> networkClient);

  bool shouldCreate() const { return shouldCreate_; }
  std::string appCreateURL() const;
  std::string appUpdateURL() const;
  // The whole request: method, URL, headers and multipart body.
  platform::URLRequest onboardingRequestForAppCreate(bool create) const;
  platform::ErrorPtr error() const;

  void main() override;

 private:
  HBROnboardingOperation() = default;
  void complete(const platform::ErrorPtr& error);

  std::weak_ptr<HBROnboardingOperationDelegate> delegate_;
  bool shouldCreate_ = false;
  std::map<std::string, std::string> kitVersions_;
  std::shared_ptr<HBRApplicationIdentiferModel> model_;
  std::string endpoint_;
  std::weak_ptr<HBRNetworkClient> networkClient_;
  mutable platform::Mutex mutex_;
  platform::ErrorPtr error_ ZORVEL_GUARDED_BY(mutex_);
};

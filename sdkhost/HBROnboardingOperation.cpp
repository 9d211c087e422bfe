#include "sdkhost/HBROnboardingOperation.h"

#include "platform/runtime/format.h"
#include "sdkhost/HBRHost.h"
#include "sdkhost/HBRMultipartMimeStreamEncoder.h"
#include "sdkhost/HBRNetworkResponseHandler.h"
#include "sdkhost/HBRSettings.h"
#include "sdkhost/HBRURLBuilder.h"

using namespace platform;

namespace {
Value optionalValue(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }
}  // namespace

std::shared_ptr<HBROnboardingOperation> HBROnboardingOperation::make(
    std::weak_ptr<HBROnboardingOperationDelegate> delegate, bool shouldCreate, const std::optional<std::string>& APIKey,
    std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
    std::shared_ptr<HBRApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
    std::weak_ptr<HBRNetworkClient> networkClient) {
  if (!appIdentifierModel) return nullptr;
  auto operation = platform::make<HBROnboardingOperation>();
  if (!operation->initWithAPIKey(APIKey)) return nullptr;
  operation->delegate_ = std::move(delegate);
  operation->shouldCreate_ = shouldCreate;
  operation->kitVersions_ = std::move(kitVersionsByKitBundleIdentifier);
  operation->model_ = std::move(appIdentifierModel);
  operation->endpoint_ = std::move(endpointString);
  operation->networkClient_ = std::move(networkClient);
  return operation;
}

std::string HBROnboardingOperation::appCreateURL() const {
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(endpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(HBRSettings::appPlatform());
  builder.appendComponent("/apps");
  return builder.URLString();
}

std::string HBROnboardingOperation::appUpdateURL() const {
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(endpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(HBRSettings::appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(model_->bundleIdentifier());
  return builder.URLString();
}

URLRequest HBROnboardingOperation::onboardingRequestForAppCreate(bool create) const {
  URLRequest request =
      mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(create ? appCreateURL() : appUpdateURL());
  request.setHTTPMethod(create ? "POST" : "PUT");
  HBRMultipartMimeStreamEncoder::populateRequest(request, [&](HBRMultipartMimeStreamEncoder& encoder) {
    encoder.addValue(Value(model_->bundleIdentifier()), "app[identifier]");
    encoder.addValue(Value(model_->instanceIdentifier()), "app[instance_identifier]");
    encoder.addValue(optionalValue(HBRApplicationDisplayName()), "app[name]");
    encoder.addValue(optionalValue(HBRApplicationBuildVersion()), "app[build_version]");
    encoder.addValue(optionalValue(HBRApplicationDisplayVersion()), "app[display_version]");
    encoder.addValue(Value(HBRApplicationInstallationSource()), "app[source]");
    encoder.addValue(Value(model_->minimumSDKString()), "app[minimum_sdk_version]");
    encoder.addValue(Value(model_->builtSDKString()), "app[built_sdk_version]");
    for (const auto& [kit, version] : kitVersions_)
      encoder.addValue(Value(version), format("%@[%@]", std::string("app[build][libraries]"), kit));
    for (const auto& [architecture, uuid] : model_->architectureUUIDMap()) {
      encoder.addValue(Value(architecture), "app[slices][][arch]");
      encoder.addValue(Value(uuid), "app[slices][][uuid]");
    }
    const auto& icon = model_->icon();
    if (icon && !icon->data().empty() && !icon->dataHash().empty()) {
      encoder.addValue(Value(icon->dataHash()), "app[icon][hash]");
      encoder.addValue(Value(std::string(icon->prerendered() ? "true" : "false")), "app[icon][prerendered]");
      encoder.addValue(Value(format("%lu", static_cast<unsigned long>(icon->size().width))), "app[icon][width]");
      encoder.addValue(Value(format("%lu", static_cast<unsigned long>(icon->size().height))), "app[icon][height]");
      encoder.addFileData(icon->data(), "icon.png", std::string("image/png"), "app[icon][data]");
    }
  });
  return request;
}

ErrorPtr HBROnboardingOperation::error() const {
  MutexLock lock(mutex_);
  return error_;
}

void HBROnboardingOperation::main() {
  if (checkForCancellation()) return;
  auto client = networkClient_.lock();
  if (!client) {
    complete(HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorNoTask));
    return;
  }
  auto self = std::static_pointer_cast<HBROnboardingOperation>(shared_from_this());
  URLRequest request = onboardingRequestForAppCreate(shouldCreate_);
  client->startDataTaskWithRequest(
      request, shouldCreate_ ? 10 : 1,
      [self, request](const std::optional<Bytes>&, const URLResponsePtr& response, const ErrorPtr& error) {
        ErrorPtr failure = error;
        if (!failure)
          HBRNetworkResponseHandler::handleCompletedResponse(response, request, nullptr,
                                                             [&](bool, const ErrorPtr& e) { failure = e; });
        self->complete(failure);
      });
}

void HBROnboardingOperation::complete(const ErrorPtr& error) {
  {
    MutexLock lock(mutex_);
    error_ = error;
  }
  auto self = std::static_pointer_cast<HBROnboardingOperation>(shared_from_this());
  if (auto delegate = delegate_.lock()) {
    if (shouldCreate_)
      delegate->onboardingOperationDidCompleteAppCreation(self, error);
    else
      delegate->onboardingOperationDidCompleteAppUpdate(self, error);
  }
  finishWithError(error);
}

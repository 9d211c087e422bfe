#include "sdkhost/HBRDownloadAndSaveSettingsOperation.h"

#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/console.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRHost.h"
#include "sdkhost/HBRNetworkResponseHandler.h"

using namespace platform;

std::shared_ptr<HBRDownloadAndSaveSettingsOperation> HBRDownloadAndSaveSettingsOperation::make(
    const std::optional<std::string>& APIKey, std::weak_ptr<HBRDownloadAndSaveSettingsOperationDelegate> delegate,
    std::string settingsURL, std::filesystem::path settingsDirectoryPath, std::filesystem::path settingsFilePath,
    std::string installIdentifier, std::optional<std::string> advertisingToken,
    std::weak_ptr<HBRNetworkClient> networkClient) {
  auto operation = platform::make<HBRDownloadAndSaveSettingsOperation>();
  if (!operation->initWithAPIKey(APIKey)) return nullptr;
  operation->delegate_ = std::move(delegate);
  operation->settingsURL_ = std::move(settingsURL);
  operation->settingsDirectoryPath_ = std::move(settingsDirectoryPath);
  operation->settingsFilePath_ = std::move(settingsFilePath);
  operation->installIdentifier_ = std::move(installIdentifier);
  if (HBRApplicationShouldCollectDeviceIdentifiers()) {
    operation->advertisingToken_ = std::move(advertisingToken);
  } else if (HBRDebugEnabled()) {
    consoleLog("[Harbor] Suppressing device identifier reporting");
  }
  operation->networkClient_ = std::move(networkClient);
  return operation;
}

URLRequest HBRDownloadAndSaveSettingsOperation::settingsRequest() const {
  URLRequest request = mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_);
  request.setHTTPMethod("GET");
  request.setValue("application/json", "Accept");
  request.setValue(installIdentifier_, "X-Blackbox-Installation-ID");
  if (auto model = HBRHostGetModel()) request.setValue(*model, "X-Blackbox-Device-Model");
  if (auto build = HBRHostGetOSBuildVersion()) request.setValue(*build, "X-Blackbox-OS-Build-Version");
  request.setValue(HBRHostGetOSDisplayVersion(), "X-Blackbox-OS-Display-Version");
  request.setValue(std::string(kHBRVersion), "X-Blackbox-API-Client-Version");
  if (advertisingToken_ && !advertisingToken_->empty())
    request.setValue(*advertisingToken_, "X-Blackbox-Advertising-Token");
  return request;
}

ErrorPtr HBRDownloadAndSaveSettingsOperation::error() const {
  MutexLock lock(mutex_);
  return error_;
}

bool HBRDownloadAndSaveSettingsOperation::replaceSettingsFile(const std::filesystem::path& source,
                                                              const std::filesystem::path& destination,
                                                              ErrorPtr* error) {
  auto& files = FileManager::defaultManager();
  auto bytes = files.readFile(source, error);
  if (!bytes) return false;
  if (!files.createDirectory(destination.parent_path(), true, error)) return false;
  return files.writeFileAtomically(destination, *bytes, error);
}

void HBRDownloadAndSaveSettingsOperation::main() {
  if (checkForCancellation()) return;
  auto client = networkClient_.lock();
  if (!client) {
    complete(HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorNoTask));
    return;
  }
  auto self = std::static_pointer_cast<HBRDownloadAndSaveSettingsOperation>(shared_from_this());
  URLRequest request = settingsRequest();
  client->startDownloadTaskWithRequest(
      request, 1,
      [self, request](const std::optional<std::string>& location, const URLResponsePtr& response,
                      const ErrorPtr& error) {
        ErrorPtr failure = error;
        if (!failure) {
          // Only an answer the response rules accept is stored.
          HBRNetworkResponseHandler::handleCompletedResponse(response, request, nullptr,
                                                             [&](bool, const ErrorPtr& e) { failure = e; });
        }
        if (!failure && !location)
          failure = HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorUnexpectedResponse);
        if (!failure) {
          ErrorPtr saveError;
          if (!replaceSettingsFile(*location, self->settingsFilePath_, &saveError)) {
            consoleLog(format("[Harbor] Unable to complete settings download %@",
                              saveError ? saveError->description() : std::string("(unknown error)")));
            failure = saveError ? saveError : HBRNetworkResponseHandler::errorForCode(0);
          }
        }
        self->complete(failure);
      });
}

void HBRDownloadAndSaveSettingsOperation::complete(const ErrorPtr& error) {
  {
    MutexLock lock(mutex_);
    error_ = error;
  }
  auto self = std::static_pointer_cast<HBRDownloadAndSaveSettingsOperation>(shared_from_this());
  if (auto delegate = delegate_.lock()) delegate->operationDidDownloadAndSaveSettings(self, error);
  finishWithError(error);
}

#pragma once

// Downloads the application's settings and stores them as the settings file.
//
// The request: GET of the settings URL with the default headers, "Accept" "application/json",
// "X-Blackbox-Installation-ID", the device model, the OS build and display versions,
// "X-Blackbox-API-Client-Version" and, when device identifiers may be collected and one was
// given, "X-Blackbox-Advertising-Token". Sent as a download with retry limit 1 (at most two
// attempts).
//
// Storing: the downloaded bytes replace the settings file atomically (a temporary file in the
// settings folder, flushed to disk, renamed over the old file), so a crash or a failure at any
// point leaves either the old settings or the new ones. An answer the response rules do not
// accept as success (a client error, an unexpected status or content type) is a failure and never
// stored. The delegate hears the outcome once, then the operation finishes with the same error.
//
// Threads: started on any thread; the completion runs on the network client's session queue.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/error.h"
#include "sdkhost/HBRNetworkClient.h"
#include "sdkhost/HBRNetworkOperation.h"

class HBRDownloadAndSaveSettingsOperation;

class HBRDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~HBRDownloadAndSaveSettingsOperationDelegate() = default;
  virtual void operationDidDownloadAndSaveSettings(
      const std::shared_ptr<HBRDownloadAndSaveSettingsOperation>& operation, const platform::ErrorPtr& error) = 0;
};

class HBRDownloadAndSaveSettingsOperation : public HBRNetworkOperation {
  ZORVEL_CLASS(HBRDownloadAndSaveSettingsOperation, HBRNetworkOperation)

 public:
  // Null for a missing key. The delegate and the client are held weakly.
  static std::shared_ptr<HBRDownloadAndSaveSettingsOperation> make(
      const std::optional<std::string>& APIKey, std::weak_ptr<HBRDownloadAndSaveSettingsOperationDelegate> delegate,
      std::string settingsURL, std::filesystem::path settingsDirectoryPath, std::filesystem::path settingsFilePath,
      std::string installIdentifier, std::optional<std::string> advertisingToken,
      std::weak_ptr<HBRNetworkClient> networkClient);

  const std::string& settingsURL() const { return settingsURL_; }
  const std::filesystem::path& settingsDirectoryPath() const { return settingsDirectoryPath_; }
  const std::filesystem::path& settingsFilePath() const { return settingsFilePath_; }
  const std::optional<std::string>& advertisingToken() const { return advertisingToken_; }
  platform::URLRequest settingsRequest() const;
  platform::ErrorPtr error() const;

  void main() override;

  // Replaces the file at `destination` with the bytes of `source` atomically, creating the folder.
  [[nodiscard]] static bool replaceSettingsFile(const std::filesystem::path& source,
                                                const std::filesystem::path& destination,
                                                platform::ErrorPtr* error = nullptr);

 private:
  HBRDownloadAndSaveSettingsOperation() = default;
  void complete(const platform::ErrorPtr& error);

  std::weak_ptr<HBRDownloadAndSaveSettingsOperationDelegate> delegate_;
  std::string settingsURL_;
  std::filesystem::path settingsDirectoryPath_;
  std::filesystem::path settingsFilePath_;
  std::string installIdentifier_;
  std::optional<std::string> advertisingToken_;
  std::weak_ptr<HBRNetworkClient> networkClient_;
  mutable platform::Mutex mutex_;
  platform::ErrorPtr error_ ZORVEL_GUARDED_BY(mutex_);
};

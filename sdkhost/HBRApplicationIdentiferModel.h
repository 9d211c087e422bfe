#pragma once

// The application's identity as the service knows it: the escaped bundle identifier, the
// installation identifier, each architecture slice's UUID of the running executable (on Linux
// the GNU build-id of the loaded program, under its architecture name), the build instance
// identifier made from them, and the minimum and built SDK versions (zero on Linux, whose
// executables carry no such record).
//
// Instance identifier: the architecture names sorted by byte order, their UUID strings joined in
// that order without separators, the SHA-1 of that text as 40 lower-case hexadecimal digits. No
// UUID at all gives the SHA-1 of the empty text ("da39a3ee...").
//
// Threads: immutable once made; any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/object.h"
#include "sdkhost/HBRIcon.h"

struct HBRVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t bugfix = 0;
  bool operator==(const HBRVersion&) const = default;
};

class HBRApplicationIdentiferModel : public platform::Object {
  ZORVEL_CLASS(HBRApplicationIdentiferModel, platform::Object)

 public:
  // The identity of the running executable; null when its image cannot be read.
  static std::shared_ptr<HBRApplicationIdentiferModel> make(const std::string& installID,
                                                            std::shared_ptr<HBRIcon> icon = nullptr);
  // The identity with the executable's information given.
  static std::shared_ptr<HBRApplicationIdentiferModel> makeWithExecutableInfo(
      const std::string& installID, std::map<std::string, std::string> architectureUUIDMap, HBRVersion minimumSDK,
      HBRVersion builtSDK, std::shared_ptr<HBRIcon> icon = nullptr);

  static std::string computeInstanceIdentifier(const std::map<std::string, std::string>& architectureUUIDMap);

  const std::string& installID() const { return installID_; }
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
  const std::string& instanceIdentifier() const { return instanceIdentifier_; }
  const HBRVersion& minimumSDK() const { return minimumSDK_; }
  const HBRVersion& builtSDK() const { return builtSDK_; }
  std::string minimumSDKString() const;
  std::string builtSDKString() const;
  const std::shared_ptr<HBRIcon>& icon() const { return icon_; }

 private:
  HBRApplicationIdentiferModel() = default;

  std::string installID_;
  std::string bundleIdentifier_;
  std::map<std::string, std::string> architectureUUIDMap_;
  std::string instanceIdentifier_;
  HBRVersion minimumSDK_;
  HBRVersion builtSDK_;
  std::shared_ptr<HBRIcon> icon_;
};

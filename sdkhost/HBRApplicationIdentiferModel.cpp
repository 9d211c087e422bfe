#include "sdkhost/HBRApplicationIdentiferModel.h"

#include "platform/runtime/format.h"
#include "platform/system/crypto.h"
#include "sdkhost/BBXElfImage.h"
#include "sdkhost/HBRHost.h"

using namespace platform;

namespace {
std::string formatVersion(const HBRVersion& v) { return format("%d.%d.%d", v.major, v.minor, v.bugfix); }
}  // namespace

std::shared_ptr<HBRApplicationIdentiferModel> HBRApplicationIdentiferModel::make(const std::string& installID,
                                                                                 std::shared_ptr<HBRIcon> icon) {
  auto image = BBXElfImageGetCurrent();
  if (!image) return nullptr;
  std::map<std::string, std::string> uuids;
  if (!image->buildID.empty())
    uuids[image->architectureName] = HBRHexStringFromData(Bytes(image->buildID.begin(), image->buildID.end()));
  return makeWithExecutableInfo(installID, std::move(uuids), {}, {}, std::move(icon));
}

std::shared_ptr<HBRApplicationIdentiferModel> HBRApplicationIdentiferModel::makeWithExecutableInfo(
    const std::string& installID, std::map<std::string, std::string> architectureUUIDMap, HBRVersion minimumSDK,
    HBRVersion builtSDK, std::shared_ptr<HBRIcon> icon) {
  auto model = platform::make<HBRApplicationIdentiferModel>();
  model->installID_ = installID;
  model->bundleIdentifier_ = HBRApplicationEscapedBundleIdentifier();
  model->instanceIdentifier_ = computeInstanceIdentifier(architectureUUIDMap);
  model->architectureUUIDMap_ = std::move(architectureUUIDMap);
  model->minimumSDK_ = minimumSDK;
  model->builtSDK_ = builtSDK;
  model->icon_ = std::move(icon);
  return model;
}

std::string HBRApplicationIdentiferModel::computeInstanceIdentifier(
    const std::map<std::string, std::string>& architectureUUIDMap) {
  std::string joined;
  for (const auto& [architecture, uuid] : architectureUUIDMap) joined += uuid;  // the map is sorted by name
  return sha1HexString(joined);
}

std::string HBRApplicationIdentiferModel::minimumSDKString() const { return formatVersion(minimumSDK_); }
std::string HBRApplicationIdentiferModel::builtSDKString() const { return formatVersion(builtSDK_); }

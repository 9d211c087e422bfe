#pragma once

// Bundles: a folder holding an information property list and resource files. The application's
// own bundle (main()) tells its identifier, versions and configuration, and where its resources
// are.
//
// Layout of a bundle folder:
//   Info.plist            the information property list (XML or binary), a dictionary with the
//                         platform's keys: "CFBundleIdentifier", "CFBundleName",
//                         "CFBundleDisplayName", "CFBundleShortVersionString" (the version the
//                         user sees), "CFBundleVersion" (the build), and the frameworks' own
//                         dictionaries (e.g. "Harbor").
//   <resource files>      found with pathForResource(name, extension).
//   _MASReceipt/receipt   a store receipt, when the application was installed from a store.
//
// Where the main bundle is, the first that holds an "Info.plist":
//   1. the folder named by the environment variable "ZORVEL_BUNDLE_PATH";
//   2. "<folder of the executable>/../share/zorvel" (installed: bin/zorvel, share/zorvel/);
//   3. the source tree's "resources" folder of the build that made this program (build trees).
// When none does, the main bundle is the executable's folder with an empty information
// dictionary. setMain() replaces it (embedding programs and tests).
//
// An information property list that cannot be read gives an empty dictionary. Bundles are
// immutable once made (the information dictionary is read when the bundle is made) and may be
// used from any thread; main() and setMain() are thread-safe.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/value.h"

namespace platform {

class Bundle;
using BundlePtr = std::shared_ptr<const Bundle>;

class Bundle {
 public:
  // The bundle in the folder (its "Info.plist" read now); nullptr when the folder is missing.
  static BundlePtr bundleWithPath(const std::filesystem::path& path);
  // A bundle at `path` with the given information dictionary (nothing is read).
  static BundlePtr bundleWithInfoDictionary(const std::filesystem::path& path, Value infoDictionary);

  static BundlePtr main();
  static void setMain(BundlePtr bundle);

  const std::filesystem::path& bundlePath() const { return path_; }
  // A dictionary (empty when the bundle has no readable information property list).
  const Value& infoDictionary() const { return info_; }
  // The information dictionary's value, or nil.
  const Value& objectForInfoDictionaryKey(std::string_view key) const { return info_[key]; }
  // "CFBundleIdentifier" when it is a string.
  std::optional<std::string> bundleIdentifier() const;
  // The file "<name>.<extension>" (just "<name>" for an empty extension) when it exists.
  std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view extension) const;
  // Where a store receipt would be (whether or not it exists).
  std::filesystem::path appStoreReceiptPath() const { return path_ / "_MASReceipt" / "receipt"; }

  Bundle(std::filesystem::path path, Value info) : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::filesystem::path path_;
  Value info_;
};

}  // namespace platform

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/services/files.h"
#include "platform/services/notification_center.h"
#include "platform/services/user_defaults.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::UserDefaults;
using platform::Value;

TEST(UserDefaults, SetValuesOverlayRegisteredOnesAndNilRemoves) {
  zorvel::test::TempDir dir;
  auto defaults = UserDefaults::withFile(dir / "d.plist");
  defaults->registerDefaults({{"sound", Value(true)}, {"volume", Value(3)}});
  EXPECT_EQ(defaults->objectForKey("volume"), Value(3));
  ASSERT_TRUE(defaults->setObject(Value(7), "volume"));
  EXPECT_EQ(defaults->objectForKey("volume"), Value(7));
  EXPECT_EQ(defaults->dictionaryRepresentation(),
            (platform::ValueDictionary{{"sound", Value(true)}, {"volume", Value(7)}}));
  defaults->removeObjectForKey("volume");
  EXPECT_EQ(defaults->objectForKey("volume"), Value(3)) << "the registered value shows again";
  EXPECT_TRUE(defaults->objectForKey("missing").isNil());
}

TEST(UserDefaults, AreKeptInTheirFileAcrossInstances) {
  zorvel::test::TempDir dir;
  auto path = dir / "settings" / "defaults.plist";
  auto defaults = UserDefaults::withFile(path);
  ASSERT_TRUE(defaults->setObject(Value::array({Value("a"), Value(1)}), "list"));
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(UserDefaults::withFile(path)->objectForKey("list"), Value::array({Value("a"), Value(1)}));
}

TEST(UserDefaults, RefuseWhatAPropertyListCannotHoldAndReportWhatCannotBeWritten) {
  zorvel::test::TempDir dir;
  auto defaults = UserDefaults::withFile(dir / "d.plist");
  EXPECT_FALSE(defaults->setObject(Value(platform::Error::make("D", 1)), "object"));
  EXPECT_TRUE(defaults->objectForKey("object").isNil()) << "nothing changed";

  std::ofstream(dir / "blocker") << "a file where a folder should be";
  auto unwritable = UserDefaults::withFile(dir / "blocker" / "d.plist");
  ASSERT_TRUE(unwritable->setObject(Value(1), "kept"));
  platform::ErrorPtr error;
  EXPECT_FALSE(unwritable->synchronize(&error));
  EXPECT_TRUE(error);
  EXPECT_EQ(unwritable->objectForKey("kept"), Value(1)) << "kept in memory";
}

TEST(UserDefaults, ADamagedFileStartsEmptyAndIsReplacedAtTheNextWrite) {
  zorvel::test::TempDir dir;
  auto path = dir / "d.plist";
  std::ofstream(path) << "not a property list";
  auto defaults = UserDefaults::withFile(path);
  EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
  ASSERT_TRUE(defaults->setObject(Value("x"), "k"));
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(UserDefaults::withFile(path)->objectForKey("k"), Value("x"));
}

TEST(UserDefaults, EveryChangeIsAnnouncedAfterwards) {
  zorvel::test::TempDir dir;
  auto defaults = UserDefaults::withFile(dir / "d.plist");
  std::vector<Value> seen;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(platform::kUserDefaultsDidChangeNotification), defaults, nullptr,
      [&](const platform::NotificationPtr&) { seen.push_back(defaults->objectForKey("k")); });
  defaults->setObject(Value(1), "k");
  defaults->removeObjectForKey("k");
  EXPECT_FALSE(defaults->setObject(Value(platform::Error::make("D", 1)), "k")) << "a refused value announces nothing";
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(seen, (std::vector<Value>{Value(1), Value()}));
}

TEST(UserDefaults, TheConfigurationDirectoryFollowsTheEnvironment) {
  zorvel::test::TempDir dir;
  zorvel::test::ScopedEnvironment config("XDG_CONFIG_HOME", dir.path().c_str());
  EXPECT_EQ(platform::FileManager::defaultManager().configurationDirectory(), dir.path().string());
  zorvel::test::ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/ignored");
  zorvel::test::ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(platform::FileManager::defaultManager().configurationDirectory(), "/home/someone/.config");
}

}  // namespace

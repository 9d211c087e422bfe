#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/notification_center.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::UserDefaults;
using platform::Value;

TEST(UserDefaults, SetValuesOverlayRegisteredOnesAndNilRemoves) {
  auto defaults = UserDefaults::defaultsWithPath("");
  defaults->registerDefaults({{"sound", Value(true)}, {"volume", Value(3)}});
  EXPECT_EQ(defaults->objectForKey("volume"), Value(3));
  ASSERT_TRUE(defaults->setObjectForKey(Value(7), "volume"));
  EXPECT_EQ(defaults->objectForKey("volume"), Value(7));
  EXPECT_EQ(defaults->dictionaryRepresentation(),
            (platform::ValueDictionary{{"sound", Value(true)}, {"volume", Value(7)}}));
  ASSERT_TRUE(defaults->removeObjectForKey("volume"));
  EXPECT_EQ(defaults->objectForKey("volume"), Value(3)) << "the registered value shows again";
  EXPECT_TRUE(defaults->objectForKey("missing").isNil());
}

TEST(UserDefaults, AreKeptInTheirFileAcrossInstances) {
  zorvel::test::TempDir dir;
  std::string path = (dir / "settings" / "defaults.plist").string();
  ASSERT_TRUE(UserDefaults::defaultsWithPath(path)->setObjectForKey(Value::array({Value("a"), Value(1)}), "list"));
  auto reopened = UserDefaults::defaultsWithPath(path);
  EXPECT_EQ(reopened->objectForKey("list"), Value::array({Value("a"), Value(1)}));
}

TEST(UserDefaults, RefuseWhatAPropertyListCannotHoldAndReportWhatCannotBeWritten) {
  zorvel::test::TempDir dir;
  auto defaults = UserDefaults::defaultsWithPath((dir / "d.plist").string());
  platform::ErrorPtr error;
  EXPECT_FALSE(defaults->setObjectForKey(Value(platform::Error::make("D", 1)), "object", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kPropertyListWriteInvalidError);
  EXPECT_TRUE(defaults->objectForKey("object").isNil()) << "nothing changed";

  std::ofstream(dir / "blocker") << "a file where a folder should be";
  auto unwritable = UserDefaults::defaultsWithPath((dir / "blocker" / "d.plist").string());
  error.reset();
  EXPECT_FALSE(unwritable->setObjectForKey(Value(1), "kept", &error));
  EXPECT_TRUE(error);
  EXPECT_EQ(unwritable->objectForKey("kept"), Value(1)) << "kept in memory";
}

TEST(UserDefaults, ADamagedFileStartsEmptyAndIsReplacedAtTheFirstChange) {
  zorvel::test::TempDir dir;
  std::string path = (dir / "d.plist").string();
  std::ofstream(path) << "not a property list";
  auto defaults = UserDefaults::defaultsWithPath(path);
  EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
  ASSERT_TRUE(defaults->setObjectForKey(Value("x"), "k"));
  EXPECT_EQ(UserDefaults::defaultsWithPath(path)->objectForKey("k"), Value("x"));
}

TEST(UserDefaults, EveryChangeIsAnnouncedAfterwards) {
  auto defaults = UserDefaults::defaultsWithPath("");
  std::vector<Value> seen;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(platform::kUserDefaultsDidChangeNotification), defaults, nullptr,
      [&](const platform::NotificationPtr&) { seen.push_back(defaults->objectForKey("k")); });
  defaults->setObjectForKey(Value(1), "k");
  defaults->removeObjectForKey("k");
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(seen, (std::vector<Value>{Value(1), Value()}));
}

TEST(UserDefaults, TheStandardDefaultsLiveInTheConfigurationDirectory) {
  zorvel::test::TempDir dir;
  zorvel::test::ScopedEnvironment config("XDG_CONFIG_HOME", dir.path().c_str());
  EXPECT_EQ(platform::FileManager::defaultManager().configurationDirectory(), dir.path().string());
  zorvel::test::ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/ignored");
  zorvel::test::ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(platform::FileManager::defaultManager().configurationDirectory(), "/home/someone/.config");
}

}  // namespace

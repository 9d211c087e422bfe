#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/codecs/property_list.h"
#include "platform/services/files.h"
#include "sdkhost/BBXUserDefaults.h"
#include "support/temp_dir.h"

using namespace platform;
using zorvel::test::TempDir;

namespace {

std::string captured(const std::function<void()>& block) {
  testing::internal::CaptureStderr();
  block();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(BBXUserDefaults, TypedValuesLiveInMemoryUntilSynchronized) {
  TempDir dir;
  auto legacy = UserDefaults::withFile(dir / "legacy.plist");
  auto store = BBXUserDefaults::make(dir / "store", legacy);
  EXPECT_EQ(store->fileURL(), dir / "store" / "BBXUserDefaults.plist");
  store->setString("ABC", "id");
  store->setBool(true, "flag");
  store->setObject(Value(5), "number");
  EXPECT_EQ(store->stringForKey("id"), "ABC");
  EXPECT_FALSE(store->stringForKey("number"));  // a number is not a string
  EXPECT_FALSE(store->boolForKey("id"));        // a string is not a number
  EXPECT_TRUE(store->boolForKey("flag"));
  store->setObject(Value(), "number");
  EXPECT_TRUE(store->objectForKey("number").isNil());
  EXPECT_FALSE(std::filesystem::exists(store->fileURL()));
  EXPECT_TRUE(BBXUserDefaults::make(dir / "store", legacy)->dictionaryRepresentation().empty());

  ASSERT_TRUE(store->synchronize());
  auto again = BBXUserDefaults::make(dir / "store", legacy);
  EXPECT_EQ(again->stringForKey("id"), "ABC");
  EXPECT_TRUE(again->boolForKey("flag"));
  PropertyListFormat format = PropertyListFormat::Binary;
  propertyListWithData(*FileManager::defaultManager().readFile(store->fileURL()), &format);
  EXPECT_EQ(format, PropertyListFormat::Xml);
  again->removeAllObjects();
  EXPECT_TRUE(again->dictionaryRepresentation().empty());
}

TEST(BBXUserDefaults, UnreadableFileOrDirectoryStartsEmpty) {
  TempDir dir;
  auto legacy = UserDefaults::withFile(dir / "legacy.plist");
  std::filesystem::create_directories(dir / "store" / "BBXUserDefaults.plist" / "inside");
  std::string log =
      captured([&] { EXPECT_TRUE(BBXUserDefaults::make(dir / "store", legacy)->dictionaryRepresentation().empty()); });
  EXPECT_NE(log.find("[Harbor:UserDefaults] found directory where file expected. Removing conflicting directory"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "store" / "BBXUserDefaults.plist"));

  std::ofstream(dir / "store" / "BBXUserDefaults.plist") << "not a property list";
  std::shared_ptr<BBXUserDefaults> store;
  log = captured([&] { store = BBXUserDefaults::make(dir / "store", legacy); });
  EXPECT_NE(log.find("[Harbor:UserDefaults] failed to read existing UserDefaults file"), std::string::npos);
  store->setString("v", "k");
  ASSERT_TRUE(store->synchronize());  // replaces the damaged file
  EXPECT_EQ(BBXUserDefaults::make(dir / "store", legacy)->stringForKey("k"), "v");
}

TEST(BBXUserDefaults, ValuesMoveOverFromThePlatformDefaultsOnce) {
  TempDir dir;
  auto legacy = UserDefaults::withFile(dir / "legacy.plist");
  legacy->setObject(Value("install-id"), "org.zorvel.sdk.iuuid");
  legacy->setObject(Value(1), "a");
  legacy->setObject(Value(2), "b");
  ASSERT_TRUE(legacy->synchronize());
  auto store = BBXUserDefaults::make(dir / "store", legacy);
  EXPECT_TRUE(store->objectForKeyByMigratingFromNSUserDefaults("").isNil());
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("org.zorvel.sdk.iuuid"), Value("install-id"));
  EXPECT_TRUE(legacy->objectForKey("org.zorvel.sdk.iuuid").isNil());
  legacy->reload();  // the removal was written
  EXPECT_TRUE(legacy->objectForKey("org.zorvel.sdk.iuuid").isNil());
  EXPECT_EQ(BBXUserDefaults::make(dir / "store", legacy)->stringForKey("org.zorvel.sdk.iuuid"), "install-id");

  store->migrateFromNSUserDefaults({"a", "b", "missing"});
  EXPECT_EQ(store->objectForKey("a"), Value(1));
  EXPECT_EQ(store->objectForKey("b"), Value(2));
  EXPECT_TRUE(legacy->objectForKey("a").isNil());
  EXPECT_TRUE(legacy->objectForKey("b").isNil());
}

TEST(BBXUserDefaults, AValueStaysInThePlatformDefaultsWhenOurFileCannotBeWritten) {
  TempDir dir;
  auto legacy = UserDefaults::withFile(dir / "legacy.plist");
  legacy->setObject(Value("install-id"), "key");
  legacy->setObject(Value(1), "a");
  std::ofstream(dir / "blocker") << "a file where the store's folder would be";
  auto store = BBXUserDefaults::make(dir / "blocker" / "store", legacy);
  std::string log =
      captured([&] { EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("key"), Value("install-id")); });
  EXPECT_NE(log.find("[Harbor:UserDefaults] Unable to open file for writing at path"), std::string::npos);
  EXPECT_EQ(legacy->objectForKey("key"), Value("install-id"));
  captured([&] { store->migrateFromNSUserDefaults({"a"}); });
  EXPECT_EQ(legacy->objectForKey("a"), Value(1));
}

TEST(BBXUserDefaults, ConcurrentWritersAndSynchronizeKeepEveryValue) {
  TempDir dir;
  auto store = BBXUserDefaults::make(dir / "store", UserDefaults::withFile(dir / "legacy.plist"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        store->setObject(Value(i), "k" + std::to_string(t) + "-" + std::to_string(i));
        if (i % 10 == 0) store->synchronize();
      }
    });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(store->synchronize());
  EXPECT_EQ(BBXUserDefaults::make(dir / "store", UserDefaults::withFile(dir / "legacy.plist"))
                ->dictionaryRepresentation()
                .size(),
            200u);
}

TEST(BBXUserDefaults, SharedStoreLivesUnderApplicationSupport) {
  auto shared = BBXUserDefaults::standardUserDefaults();
  EXPECT_EQ(shared, BBXUserDefaults::standardUserDefaults());
  std::filesystem::path expected = std::filesystem::path(FileManager::defaultManager().applicationSupportDirectory()) /
                                   "org.zorvel.Zorvel" / "org.zorvel.sdk" / "BBXUserDefaults.plist";
  EXPECT_EQ(shared->fileURL(), expected);
}

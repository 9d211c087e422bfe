// The application's resource files are found from a build tree and from an installed layout
// (bin/<program> beside share/zorvel), and load into the store.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVCollection.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/bundle.h"
#include "platform/system/process.h"
#include "support/temp_dir.h"

namespace {

using zorvel::test::TempDir;

// Loads both resources of the main bundle into a store in a temporary folder.
void expectResourcesLoad() {
  TempDir dir;
  ZRVDatabaseManagerSetup setup;
  setup.directory = dir / "data";
  auto manager = ZRVDatabaseManager::create(setup);
  ASSERT_TRUE(manager);
  EXPECT_TRUE(manager->syncSkins());
  EXPECT_TRUE(manager->syncOptions());
  manager->backgroundDatabaseConnection()->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_GT(t.numberOfKeysInCollection(ZRVCollectionsCollection), 0u);
    EXPECT_GT(t.numberOfKeysInCollection(ZRVSkinsCollection), 0u);
    EXPECT_GT(t.numberOfKeysInCollection(ZRVOptionsCollection), 0u);
  });
}

TEST(ApplicationResources, FoundInTheBuildTree) {
  if (platform::ProcessInfo::environmentValue("ZORVEL_TEST_INSTALLED_PREFIX")) GTEST_SKIP() << "an installed run";
  auto bundle = platform::Bundle::main();
  EXPECT_EQ(bundle->bundleIdentifier(), "org.zorvel.Zorvel");
  EXPECT_EQ(ZRVDatabaseManager::executableName(*bundle), "zorvel");
  for (std::string_view name : {ZRVSkinsDataResource, ZRVDefaultOptionsResource})
    EXPECT_TRUE(bundle->pathForResource(name, ZRVPropertyListResourceType)) << name;
  expectResourcesLoad();
}

// Run by the test "ApplicationResources.Installed" from a copy of this program in an installed
// layout (tests/app/database/installed_resources.cmake); skipped elsewhere.
TEST(ApplicationResources, FoundWhereTheProgramIsInstalled) {
  auto prefix = platform::ProcessInfo::environmentValue("ZORVEL_TEST_INSTALLED_PREFIX");
  if (!prefix) GTEST_SKIP() << "runs from an installed layout only";
  auto bundle = platform::Bundle::main();
  EXPECT_EQ(std::filesystem::weakly_canonical(bundle->bundlePath()),
            std::filesystem::weakly_canonical(std::filesystem::path(*prefix) / "share" / "zorvel"));
  EXPECT_EQ(ZRVDatabaseManager::executableName(*bundle), "zorvel");
  expectResourcesLoad();
}

}  // namespace

// The application's one database manager: made on first use from any thread, in the user's data
// folder, and a start that stops with a clear message when that folder cannot be made.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "app/database/ZRVDatabaseManager.h"
#include "platform/runtime/error.h"
#include "platform/services/bundle.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;
using zorvel::test::ScopedEnvironment;
using zorvel::test::TempDir;

// One test: the shared instance, once made, lives for the rest of the program.
TEST(SharedDatabaseManager, StopsTheStartWhileTheFolderCannotBeMadeThenIsMadeOnceForAllThreads) {
  TempDir dir;
  std::ofstream(dir / "a-file") << "not a folder";
  {
    ScopedEnvironment data("XDG_DATA_HOME", (dir / "a-file").c_str());
    try {
      ZRVDatabaseManager::sharedInstance();
      ADD_FAILURE() << "the start went on without a database";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), ZRVDatabaseManagerException);
      EXPECT_THAT(e.reason(), HasSubstr("Cannot create the data folder"));
      EXPECT_THAT(e.reason(), HasSubstr((dir / "a-file").string()));
    }
  }

  ScopedEnvironment data("XDG_DATA_HOME", (dir / "data").c_str());
  std::vector<ZRVDatabaseManager*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = ZRVDatabaseManager::sharedInstance().get(); });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(seen[0]);
  for (ZRVDatabaseManager* manager : seen) EXPECT_EQ(manager, seen[0]);
  EXPECT_EQ(ZRVDatabaseManager::sharedInstance().get(), seen[0]);

  const std::string name = ZRVDatabaseManager::executableName(*platform::Bundle::main());
  EXPECT_EQ(seen[0]->database()->databasePath(), (dir / "data" / name / (name + "Database.sqlite")).string());
}

}  // namespace

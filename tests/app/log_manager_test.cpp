// The application's log categories: entries of each area arrive at a journal socket of the test's
// own with their category field, the application's identifier, the priority of their type and
// their text; beside a real journal daemon (the machine's, or the private one that
// with_private_journal.sh starts for the LogCategoriesJournalDaemon tests) they are read back from
// the journal. Also the user's preferred language.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "app/ZRVBundle.h"
#include "app/ZRVLocale.h"
#include "app/ZRVLogManager.h"
#include "logging/journal_test_support.h"
#include "platform/system/crypto.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

using journaltest::Entry;
using journaltest::NativeListener;
using zorvel::test::ScopedEnvironment;
using Area = ZRVLogManager::Area;

namespace {

const std::string kIdentifier(ZRVBundleIdentifier);

// Every getter with the category it must carry, in the order of the areas.
struct Getter {
  ZRVLogHandlePtr (ZRVLogManager::*get)() const;
  void (ZRVLogManager::*set)(ZRVLogHandlePtr);
  const char* category;
};
const Getter kGetters[] = {
    {&ZRVLogManager::database_log, &ZRVLogManager::setDatabase_log, "Database"},
    {&ZRVLogManager::cloudKit_log, &ZRVLogManager::setCloudKit_log, "CloudKit"},
    {&ZRVLogManager::reachability_log, &ZRVLogManager::setReachability_log, "Reachability"},
    {&ZRVLogManager::ui_log, &ZRVLogManager::setUi_log, "UI"},
    {&ZRVLogManager::push_log, &ZRVLogManager::setPush_log, "Push"},
    {&ZRVLogManager::notifications_log, &ZRVLogManager::setNotifications_log, "Notifications"},
    {&ZRVLogManager::review_log, &ZRVLogManager::setReview_log, "Review"},
};

Entry expectedEntry(const std::string& priority, const std::string& category, const std::string& message) {
  return {{"PRIORITY", priority}, {"SYSLOG_IDENTIFIER", kIdentifier}, {"MESSAGE", message}, {"ZRV_CATEGORY", category}};
}

class LogCategories : public ::testing::Test {
 protected:
  zorvel::test::TempDir dir_;
  NativeListener listener_{(dir_ / "journal.socket").string()};
  LGJournalWriter writer_{(dir_ / "journal.socket").string()};
  std::shared_ptr<ZRVLogManager> manager_ = platform::make<ZRVLogManager>(&writer_);
};

}  // namespace

TEST(ZRVLogManager, SharedInstanceHasSevenHandlesOfTheApplicationWithTheirCategories) {
  std::vector<std::shared_ptr<ZRVLogManager>> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = ZRVLogManager::sharedInstance(); });
  for (auto& t : threads) t.join();
  for (const auto& m : seen) EXPECT_EQ(m, seen[0]);  // made once, whichever thread came first

  const auto& manager = *seen[0];
  std::size_t area = 0;
  for (const Getter& g : kGetters) {
    ZRVLogHandlePtr handle = (manager.*g.get)();
    ASSERT_TRUE(handle) << g.category;
    EXPECT_EQ(handle->subsystem(), "org.zorvel.Zorvel");
    EXPECT_EQ(handle->category(), g.category);
    EXPECT_EQ(manager.handle(static_cast<Area>(area)), handle);
    EXPECT_EQ(ZRVLogManager::kCategories[area++], g.category);
  }
  EXPECT_EQ(area, ZRVLogManager::kCategories.size());
}

TEST_F(LogCategories, EachAreaWritesEntriesWithItsCategoryTheIdentifierAndTheText) {
  ASSERT_TRUE(listener_.bound());
  for (const Getter& g : kGetters) {
    ZRVLogHandlePtr log = ((*manager_).*g.get)();
    ASSERT_TRUE(log->isEnabled(ZRVLogType::Info));
    EXPECT_TRUE(log->info("%{public}@ - %{public}@", std::string("ZRVSomeClass"), "someMethod:"));
    auto entry = listener_.receive();
    ASSERT_TRUE(entry) << g.category;
    EXPECT_EQ(*entry, expectedEntry("6", g.category, "ZRVSomeClass - someMethod:"));  // nothing else
  }
}

TEST_F(LogCategories, TypesGivePrioritiesAndTheFormatsInUseReadAsWritten) {
  auto error = platform::Error::make("CKErrorDomain", 3);
  struct Case {
    Area area;
    std::function<bool(const ZRVLogHandle&)> write;
    std::string priority;
    std::string expected;
  };
  const Case cases[] = {
      {Area::Database, [](auto& log) { return log.info("%{public}@ - %{public}@", "ZRVDatabaseManager", "setup"); },
       "6", "ZRVDatabaseManager - setup"},
      {Area::CloudKit,
       [](auto& log) {
         return log.debug("%{public}@ - %{public}@ cloud kit suspend count: %li", "ZRVCloudKitManager", "resume", 3L);
       },
       "7", "ZRVCloudKitManager - resume cloud kit suspend count: 3"},
      {Area::Push,
       [&](auto& log) {
         return log.error("%{public}@ - %{public}@, error: %{public}@", "ZRVAppDelegate", "register", error);
       },
       "3", "ZRVAppDelegate - register, error: " + error->description()},
      {Area::Reachability,
       [](auto& log) { return log.info("%{public}@ did enter, from: %{public}@", "ZRVReachable", "ZRVNotReachable"); },
       "6", "ZRVReachable did enter, from: ZRVNotReachable"},
      {Area::CloudKit,
       [](auto& log) { return log.info("%{public}@ setup queue added %{public}@", "ZRVCloudKitManager", "op"); }, "6",
       "ZRVCloudKitManager setup queue added op"},
      // "%%" stays a percent sign, so "{public}" after it is text.
      {Area::UI, [](auto& log) { return log.log(ZRVLogType::Debug, "%{public}@ at 100%%{public}", "ZRVItem"); }, "7",
       "ZRVItem at 100%{public}"},
  };
  for (const Case& c : cases) {
    ZRVLogHandlePtr log = manager_->handle(c.area);
    EXPECT_TRUE(c.write(*log)) << c.expected;
    auto entry = listener_.receive();
    ASSERT_TRUE(entry) << c.expected;
    EXPECT_EQ(*entry, expectedEntry(c.priority, log->category(), c.expected));
  }
  // Details that span lines (descriptions of records and errors) arrive whole.
  EXPECT_TRUE(
      manager_->ui_log()->debug("%{public}@ - %{public}@, event saved: %{public}@", "A", "b", "{\n  name = x;\n}"));
  auto entry = listener_.receive();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->at("MESSAGE"), "A - b, event saved: {\n  name = x;\n}");
}

TEST_F(LogCategories, WithoutAJournalNothingIsEnabledAndWritingReportsFailure) {
  LGJournalWriter nowhere((dir_ / "no.socket").string());
  ZRVLogManager manager(&nowhere);
  for (ZRVLogType type : {ZRVLogType::Info, ZRVLogType::Debug, ZRVLogType::Error}) {
    EXPECT_FALSE(manager.database_log()->isEnabled(type));
    EXPECT_TRUE(manager_->database_log()->isEnabled(type));
  }
  platform::ErrorPtr error;
  EXPECT_FALSE(manager.review_log()->write(ZRVLogType::Error, "lost", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSPOSIXErrorDomain");
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_FALSE(manager.review_log()->info("%{public}@", "lost"));
}

TEST_F(LogCategories, HandlesCanBeReplacedAndAreSharedAcrossThreads) {
  auto replacement = std::make_shared<const ZRVLogHandle>("other.identifier", "Elsewhere", &writer_);
  manager_->setUi_log(replacement);
  EXPECT_EQ(manager_->ui_log(), replacement);
  EXPECT_EQ(manager_->handle(Area::UI), replacement);
  EXPECT_EQ(manager_->push_log()->category(), "Push");  // the others keep theirs
  manager_->setReview_log(nullptr);
  EXPECT_EQ(manager_->review_log(), nullptr);

  // Readers, a writer of the handles and loggers at once: every entry arrives whole.
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ZRVLogHandlePtr log = manager_->handle(static_cast<Area>(i % 3));
        EXPECT_TRUE(log->info("%{public}@ - %{public}@ %li", "Thread", "run", static_cast<long>(t * 1000 + i)));
      }
    });
  }
  threads.emplace_back([this] {
    for (int i = 0; i < 200; ++i) {
      auto handle = manager_->handle(Area::Review);
      manager_->setHandle(Area::Review, handle ? nullptr : manager_->handle(Area::UI));
    }
  });
  std::multiset<std::string> messages;
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    auto entry = listener_.receive();
    ASSERT_TRUE(entry) << n;
    EXPECT_THAT(entry->at("ZRV_CATEGORY"), testing::AnyOf("Database", "CloudKit", "Reachability"));
    messages.insert(entry->at("MESSAGE"));
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(messages.count("Thread - run " + std::to_string(t * 1000 + i)), 1u);
}

// --- Beside a real journal daemon -------------------------------------------------------------------

TEST(LogCategoriesJournalDaemon, EveryAreasEntriesAreReadBackFromTheJournal) {
  if (!LGJournalWriter::isDaemonAvailable())
    GTEST_SKIP() << "no journal daemon on this machine; the PrivateDaemon run of this program covers it";
  const std::string run = platform::UUID::random().uuidString();
  auto manager = ZRVLogManager::sharedInstance();
  for (const Getter& g : kGetters) {
    ZRVLogHandlePtr log = ((*manager).*g.get)();
    ASSERT_TRUE(log->isEnabled(ZRVLogType::Error));
    ASSERT_TRUE(log->error("%{public}@ - %{public}@ run %{public}@", "ZRVClass", "method", run));
  }
  ASSERT_TRUE(manager->cloudKit_log()->debug("%{public}@ - %{public}@ detail %{public}@", "ZRVClass", "method", run));
  auto entries = journaltest::readBackOwnEntries(8, kIdentifier, {}, [&](const LGJournalEntry& entry) {
    const std::string* message = entry.field("MESSAGE");
    return message && message->find(run) != std::string::npos;
  });
  ASSERT_EQ(entries.size(), 8u);
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(*entries[i].field("ZRV_CATEGORY"), kGetters[i].category);
    EXPECT_EQ(*entries[i].field("PRIORITY"), "3");
    EXPECT_EQ(*entries[i].field("MESSAGE"), "ZRVClass - method run " + run);
  }
  EXPECT_EQ(*entries[7].field("ZRV_CATEGORY"), "CloudKit");
  EXPECT_EQ(*entries[7].field("PRIORITY"), "7");
  EXPECT_EQ(*entries[7].field("MESSAGE"), "ZRVClass - method detail " + run);
}

// --- The preferred language --------------------------------------------------------------------------

TEST(ZRVLocale, LanguageOfATagIsItsWholeLanguagePart) {
  struct Case {
    const char* tag;
    const char* language;
  };
  const Case cases[] = {
      {"pt-BR", "pt"},      {"en", "en"},      {"en-US", "en"},
      {"zh-Hans-CN", "zh"}, {"de_AT", "de"},   {"fil", "fil"},  // three letters stay three letters
      {"fil-PH", "fil"},    {"haw-US", "haw"}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ZRVLocale::languageOfTag(c.tag), c.language) << c.tag;
}

TEST(ZRVLocale, PrefferedLanguageIsTheFirstPreferredLanguagesLanguage) {
  ScopedEnvironment messages("LC_MESSAGES", nullptr);
  ScopedEnvironment lang("LANG", nullptr);
  struct Case {
    const char* language;  // LANGUAGE
    const char* all;       // LC_ALL
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {nullptr, "pt_BR.UTF-8", "pt"},   {nullptr, "en_US.UTF-8", "en"}, {"fil:en", "en_US.UTF-8", "fil"},
      {"de", "en_US.UTF-8", "de"},      {nullptr, "C", std::nullopt},  // no preferred language at all
      {nullptr, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnvironment language("LANGUAGE", c.language);
    ScopedEnvironment all("LC_ALL", c.all);
    EXPECT_EQ(ZRVLocale::prefferedLanguage(), c.expected)
        << (c.language ? c.language : "-") << " " << (c.all ? c.all : "-");
  }
}

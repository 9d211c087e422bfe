// The crash context, its guarded allocator and the run metadata. The context is set up once per
// process, so this program initialises it once and checks what it left behind.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "crashreporting/BBXAllocator.h"
#include "crashreporting/BBXContext.h"
#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXFile.h"
#include "crashreporting/BBXSDKLog.h"
#include "crashreporting/BBXUserLogging.h"
#include "sdkhost/HBRHost.h"
#include "tests/support/temp_dir.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Whether writing one byte at `address` in a child process ends it by SIGSEGV.
bool writeFaults(void* address) {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGSEGV, SIG_DFL);
    *static_cast<volatile char*>(address) = 1;
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

// A log context of the test's own, for the allocator's warnings.
class AllocatorTest : public testing::Test {
 protected:
  void SetUp() override {
    if (bbx_detail::gReadOnlyContext.load()) GTEST_SKIP() << "the process context is in place";
    logPath_ = dir_.file("sdk.log");
    readOnly_.logPath = logPath_.c_str();
    writable_.logFd = -1;
    writable_.logLevel = 1;
    bbx_detail::installContextForTesting(&readOnly_, &writable_);
  }
  void TearDown() override {
    bbx_detail::installContextForTesting(nullptr, nullptr);
    if (writable_.logFd >= 0) close(writable_.logFd);
  }
  zorvel::test::TempDir dir_;
  std::string logPath_;
  BBXReadOnlyContext readOnly_{};
  BBXWritableContext writable_{};
};

bool inside(const void* pointer, const BBXAllocator* allocator) {
  const char* p = static_cast<const char*>(pointer);
  const char* base = static_cast<const char*>(allocator->base);
  return p >= base && p < base + allocator->mappingLength;
}

TEST_F(AllocatorTest, RegionsFallBackToTheHeapWhenFullOrProtected) {
  BBXAllocator* allocator = BBXAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(allocator->readOnly.size, page) << "100 bytes round up to one page";
  void* first = BBXAllocatorSafeAllocate(allocator, 64, 0);
  EXPECT_EQ(first, allocator->readOnly.start);
  EXPECT_EQ(BBXAllocatorSafeAllocate(allocator, 1, 2), nullptr) << "an unknown region";

  const std::size_t left = allocator->readOnly.size - 64;
  void* tooMuch = BBXAllocatorSafeAllocate(allocator, left + 1, 0);
  EXPECT_FALSE(inside(tooMuch, allocator));
  free(tooMuch);
  EXPECT_NE(readAll(logPath_).find("Unable to allocate sufficient memory, falling back to malloc"), std::string::npos);
  void* exact = BBXAllocatorSafeAllocate(allocator, left, 0);
  EXPECT_TRUE(inside(exact, allocator));

  ASSERT_TRUE(BBXAllocatorProtect(allocator));
  ASSERT_TRUE(BBXAllocatorProtect(allocator)) << "protecting twice succeeds";
  void* afterProtection = BBXAllocatorSafeAllocate(allocator, 8, 0);
  EXPECT_FALSE(inside(afterProtection, allocator));
  free(afterProtection);
  EXPECT_NE(readAll(logPath_).find("Allocator already protected, falling back to malloc"), std::string::npos);
  // The writable region keeps working after protection (its bookkeeping is not in the read-only part).
  void* writable = BBXAllocatorSafeAllocate(allocator, 16, 1);
  ASSERT_TRUE(inside(writable, allocator));
  static_cast<char*>(writable)[15] = 1;

  void* fromNone = BBXAllocatorSafeAllocate(nullptr, 8, 1);
  EXPECT_NE(fromNone, nullptr);
  free(fromNone);
  EXPECT_NE(readAll(logPath_).find("Allocator invalid, falling back to malloc"), std::string::npos);
  EXPECT_FALSE(BBXAllocatorProtect(nullptr));
}

TEST_F(AllocatorTest, GuardPagesAndTheProtectedRegionFault) {
  if (kUnderAddressSanitizer) {
    GTEST_SKIP() << "AddressSanitizer turns the expected SIGSEGV into a report of its own";
  }
  BBXAllocator* allocator = BBXAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  char* writableEnd = allocator->writable.start + allocator->writable.size;
  char* readOnlyEnd = allocator->readOnly.start + allocator->readOnly.size;
  EXPECT_TRUE(writeFaults(allocator->writable.start - 1)) << "first guard page";
  EXPECT_TRUE(writeFaults(writableEnd)) << "middle guard page";
  EXPECT_TRUE(writeFaults(readOnlyEnd)) << "last guard page";
  EXPECT_FALSE(writeFaults(allocator->readOnly.start)) << "read-only region before protection";
  ASSERT_TRUE(BBXAllocatorProtect(allocator));
  EXPECT_TRUE(writeFaults(allocator->readOnly.start)) << "read-only region after protection";
  EXPECT_FALSE(writeFaults(writableEnd - 1)) << "writable region";
}

TEST(BBXHost, TheVersionCodeUsesMajorAndMinor) {
  EXPECT_EQ(BBXHostGetOSVersionCode(), HBRHostOSVersionCodeFor(HBRHostGetOSVersion()));
  if (HBRHostGetOSVersion().major >= 10) {
    EXPECT_NE(BBXHostGetOSVersionCode(), 0u) << "a minor version of 0 is a version, not an unknown one";
  }
  EXPECT_EQ(BBXHostGetPageSize(), static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
}

// Runs last among this program's tests (gtest keeps file order): the context is process-wide.
TEST(BBXContextZ, InitialisationPreparesTheContextAndWritesTheMetadata) {
  EXPECT_FALSE(BBXContextInitialize(nullptr));
  BBXContextInitData absent;
  absent.reportPath = reinterpret_cast<const char*>(16);
  EXPECT_FALSE(BBXContextInitialize(&absent));
  EXPECT_FALSE(BBXContextMarkAndCheckIfCrashed()) << "not initialised";

  zorvel::test::TempDir dir;
  { std::ofstream(dir.file("sdk.log")) << "from an earlier run\n"; }
  const std::string report = dir.path().string();
  BBXContextInitData init;
  init.apiKey = "key\"with quote";
  init.reportPath = report.c_str();
  init.sessionId = "session";
  init.installId = "install";
  init.logBufferSize = 64;
  init.maxCustomKeys = 64;
  ASSERT_TRUE(BBXContextInitialize(&init));
  for (int i = 0; i < 500 && !BBXContextIsInitialized(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(BBXContextIsInitialized());

  const auto sections = BBXFileReadSections(dir.file("metadata.bbxrecord").c_str(), false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 3u);
  const nlohmann::json& identity = (*sections)[0]["identity"];
  EXPECT_EQ(identity["generator"], "Blackbox Mac SDK/3.8.6");
  EXPECT_EQ(identity["api_key"], "key\"with quote");
  EXPECT_EQ(identity["session_id"], "session");
  EXPECT_TRUE(identity["beta_token"].is_null());
  EXPECT_EQ(identity["absolute_log_timestamps"], true);
  EXPECT_GT(identity["started_at"].get<std::uint64_t>(), 1'600'000'000u);
  const nlohmann::json& host = (*sections)[1]["host"];
  for (const char* key : {"model", "machine", "cpu", "os_build_version", "os_display_version", "platform", "locale"}) {
    EXPECT_TRUE(host.contains(key)) << key;
  }
  EXPECT_TRUE((*sections)[2].contains("application"));
  EXPECT_EQ(readAll(dir.file("sdk.log")).find("from an earlier run"), std::string::npos) << "the old log is removed";

  // Custom keys work through the real context.
  BBXUserLoggingRecordUserKeyValue("k", "v");
  BBXLoggingQueue()->sync([] {});
  EXPECT_EQ(readAll(dir.file("user_incremental_kv.bbxrecord")), "{\"kv\":{\"key\":\"6b\",\"value\":\"76\"}}\n");

  // The storage section of a crash record.
  BBXFile file;
  ASSERT_TRUE(BBXFileInit(&file, dir.file("storage.bbxrecord").c_str(), false));
  ASSERT_TRUE(BBXHostRecordStorage(&file));
  ASSERT_TRUE(BBXFileClose(&file));
  EXPECT_TRUE(readAll(dir.file("storage.bbxrecord")).rfind("{\"storage\":{", 0) == 0);

  // Only the first crash is recorded.
  EXPECT_FALSE(BBXContextMarkAndCheckIfCrashed());
  EXPECT_TRUE(BBXContextMarkAndCheckIfCrashed());

  if (!kUnderAddressSanitizer) {
    EXPECT_TRUE(writeFaults(const_cast<char*>(bbx_detail::gReadOnlyContext.load()->logPath)))
        << "the read-only context is protected";
  }
}

}  // namespace

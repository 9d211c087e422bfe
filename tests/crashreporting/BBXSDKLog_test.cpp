// The internal log "sdk.log": its formatting and level filter.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXSDKLog.h"
#include "tests/support/temp_dir.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A context of its own whose log is "<folder>/sdk.log".
class SDKLogTest : public testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.file("sdk.log");
    readOnly_.logPath = logPath_.c_str();
    writable_.logFd = -1;
    writable_.logLevel = kBBXLogLevelDebug;
    bbx_detail::installContextForTesting(&readOnly_, &writable_);
  }
  void TearDown() override {
    bbx_detail::installContextForTesting(nullptr, nullptr);
    if (writable_.logFd >= 0) close(writable_.logFd);
  }
  std::string logged() const { return readAll(logPath_); }

  zorvel::test::TempDir dir_;
  std::string logPath_;
  BBXReadOnlyContext readOnly_{};
  BBXWritableContext writable_{};
};

TEST_F(SDKLogTest, FormatsTheDirectivesItKnowsAndCopiesTheOthers) {
  BBXSDKFileLog(kBBXLogLevelWarn, "WARN  [%s:%d] x %s %zu\n", "f", 7, static_cast<const char*>(nullptr));
  EXPECT_EQ(logged(), "WARN  [f:7] x (null) %zu\n");
}

TEST_F(SDKLogTest, NumbersAndPointers) {
  struct Case {
    const char* label;
    void (*log)();
    const char* expected;
  };
  const Case cases[] = {
      {"negative signed", [] { BBXSDKFileLog(kBBXLogLevelInfo, "%d", -2147483647 - 1); }, "-2147483648"},
      {"unsigned", [] { BBXSDKFileLog(kBBXLogLevelInfo, "%u", 4294967295u); }, "4294967295"},
      {"hexadecimal", [] { BBXSDKFileLog(kBBXLogLevelInfo, "%x", 0xbeefu); }, "beef"},
      {"pointer", [] { BBXSDKFileLog(kBBXLogLevelInfo, "%p", reinterpret_cast<void*>(0x1f00)); }, "0x1f00"},
      {"unknown directives take no argument", [] { BBXSDKFileLog(kBBXLogLevelInfo, "%llx %f %s", "s"); }, "%llx %f s"},
      {"percent at the end", [] { BBXSDKFileLog(kBBXLogLevelInfo, "100%"); }, "100%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (writable_.logFd.load() >= 0) {
      ASSERT_EQ(ftruncate(writable_.logFd.load(), 0), 0);
    }
    c.log();
    EXPECT_EQ(logged(), c.expected);
  }
}

TEST_F(SDKLogTest, MessagesBelowTheLevelAreDropped) {
  writable_.logLevel = kBBXLogLevelWarn;
  BBX_SDK_LOG(kBBXLogLevelDebug, "DEBUG [%s:%d] dropped\n");
  BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] kept\n");
  const std::string text = logged();
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_EQ(text.rfind("ERROR [", 0), 0u) << text;
  EXPECT_NE(text.find("] kept\n"), std::string::npos) << text;
}

TEST_F(SDKLogTest, NothingIsWrittenWithoutAContextOrPath) {
  bbx_detail::installContextForTesting(nullptr, nullptr);
  BBXSDKFileLog(kBBXLogLevelError, "no context\n");
  readOnly_.logPath = nullptr;
  bbx_detail::installContextForTesting(&readOnly_, &writable_);
  BBXSDKFileLog(kBBXLogLevelError, "no path\n");
  EXPECT_FALSE(std::filesystem::exists(logPath_));
}

}  // namespace

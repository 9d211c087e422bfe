#include <gtest/gtest.h>

#include "platform/system/console.h"

TEST(ConsoleLog, WritesOneLineWithProcessNameAndMessage) {
  testing::internal::CaptureStderr();
  platform::consoleLog("hello there");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("hello there\n"), std::string::npos);
  EXPECT_NE(out.find("platform_system_console_test["), std::string::npos);
  EXPECT_EQ(out.back(), '\n');
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/system/process.h"

using platform::ProcessInfo;

TEST(ProcessInfo, DescribesThisProcess) {
  EXPECT_EQ(ProcessInfo::processName(), "platform_system_process_test");
  EXPECT_EQ(ProcessInfo::processIdentifier(), getpid());

  auto arguments = ProcessInfo::arguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_NE(arguments[0].find("platform_system_process_test"), std::string::npos);
}

TEST(ProcessInfo, DescribesTheMachine) {
  EXPECT_FALSE(ProcessInfo::hostName().empty());
  EXPECT_NE(ProcessInfo::operatingSystemVersionString().find("Linux"), std::string::npos);
  EXPECT_GT(ProcessInfo::operatingSystemVersion().major, 2);
  EXPECT_GT(ProcessInfo::physicalMemory(), 64u * 1024 * 1024);
  EXPECT_GE(ProcessInfo::processorCount(), 1u);
  EXPECT_GE(ProcessInfo::activeProcessorCount(), 1u);
  EXPECT_LE(ProcessInfo::activeProcessorCount(), ProcessInfo::processorCount());
}

TEST(ProcessInfo, EnvironmentIsReadAtEachCall) {
  const char* name = "ZORVEL_PROCESS_TEST_VARIABLE";
  unsetenv(name);
  EXPECT_FALSE(ProcessInfo::environmentValue(name).has_value());
  setenv(name, "", 1);
  EXPECT_EQ(ProcessInfo::environmentValue(name), "");  // set but empty is not unset
  setenv(name, "colors", 1);
  EXPECT_EQ(ProcessInfo::environmentValue(name), "colors");
  unsetenv(name);
  EXPECT_FALSE(ProcessInfo::environmentValue(name).has_value());
}

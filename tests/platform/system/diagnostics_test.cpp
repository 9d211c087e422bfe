#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system/diagnostics.h"

namespace {

struct Received {
  platform::DiagnosticSeverity severity;
  std::string message;
  std::string function;
  unsigned line;
};
std::vector<Received> gReceived;
bool gTake = true;

bool recordingSink(platform::DiagnosticSeverity severity, std::string_view message,
                   const platform::DiagnosticOrigin& origin) {
  gReceived.push_back({severity, std::string(message), origin.function ? origin.function : "", origin.line});
  return gTake;
}

// Installs the recording sink for one test and puts back whatever was there.
class Diagnostics : public testing::Test {
 protected:
  void SetUp() override {
    gReceived.clear();
    gTake = true;
    previous_ = platform::setDiagnosticSink(&recordingSink);
  }
  void TearDown() override { platform::setDiagnosticSink(previous_); }

 private:
  platform::DiagnosticSink previous_ = nullptr;
};

}  // namespace

TEST_F(Diagnostics, TheSinkReceivesTextSeverityAndOriginAndStandardErrorNothing) {
  testing::internal::CaptureStderr();
  const unsigned line = __LINE__ + 1;
  ZORVEL_DIAGNOSTIC_WARNING("Warning: Unparsed data");
  ZORVEL_DIAGNOSTIC_ERROR(std::string("dispatch: ") + "cannot start a worker thread");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(gReceived.size(), 2u);
  EXPECT_EQ(gReceived[0].severity, platform::DiagnosticSeverity::Warning);
  EXPECT_EQ(gReceived[0].message, "Warning: Unparsed data");
  EXPECT_EQ(gReceived[0].line, line);
  EXPECT_THAT(gReceived[0].function, testing::HasSubstr("TestBody"));
  EXPECT_EQ(gReceived[1].severity, platform::DiagnosticSeverity::Error);
  EXPECT_EQ(gReceived[1].message, "dispatch: cannot start a worker thread");
}

TEST_F(Diagnostics, ADecliningSinkOrNoSinkLeavesTheTextOnStandardError) {
  gTake = false;
  testing::internal::CaptureStderr();
  platform::reportDiagnostic(platform::DiagnosticSeverity::Error, "declined text");
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("] declined text\n"));
  EXPECT_EQ(gReceived.size(), 1u);

  EXPECT_EQ(platform::setDiagnosticSink(nullptr), &recordingSink);
  testing::internal::CaptureStderr();
  platform::reportDiagnostic(platform::DiagnosticSeverity::Warning, "no sink text");
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("] no sink text\n"));
  EXPECT_EQ(gReceived.size(), 1u);
}

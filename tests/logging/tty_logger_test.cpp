#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "logging/log_test_support.h"
#include "logging/tty_logger.h"
#include "platform/system/process.h"
#include "support/temp_dir.h"

using logtest::HubTest;

namespace {

const std::string kEsc = "\033";

// A terminal logger of the given mode writing into a file of a temporary folder.
class TTYFixture : public HubTest {
 protected:
  std::shared_ptr<LGTTYLogger> make(LGTTYColorMode mode) {
    fd_ = ::open((dir_ / "tty.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    logger_ = LGTTYLogger::loggerWithColorMode(mode, fd_);
    LGLog::addLogger(logger_);
    return logger_;
  }
  void TearDown() override {
    HubTest::TearDown();
    if (fd_ >= 0) ::close(fd_);
  }
  static void log(std::uint64_t flag, const std::string& text, std::int64_t context = 0, platform::Value tag = {}) {
    LGLog::logMessage(false, text, LGLogLevelAll, flag, context, "/x/File.m", "f", 1, std::move(tag));
  }
  std::string output() {
    LGLog::flushLog();
    std::ifstream in(dir_ / "tty.out", std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  zorvel::test::TempDir dir_;
  int fd_ = -1;
  std::shared_ptr<LGTTYLogger> logger_;
};

// A formatter that returns a fixed text, to look at the written bytes alone.
class FixedFormatter : public LGLogFormatter {
 public:
  explicit FixedFormatter(std::string text) : text_(std::move(text)) {}
  std::optional<std::string> formatLogMessage(const LGLogMessagePtr&) override { return text_; }

 private:
  std::string text_;
};

}  // namespace

TEST(LGTTYLogger, ColourModeFollowsLogColorsThenTerm) {
  struct Case {
    std::optional<std::string> logColors;
    std::optional<std::string> term;
    LGTTYColorMode mode;
  };
  const Case cases[] = {
      {"YES", "xterm-256color", LGTTYColorMode::PlugIn},
      {"YES", std::nullopt, LGTTYColorMode::PlugIn},
      {"yes", "xterm-256color", LGTTYColorMode::Terminal256},
      {"NO", "xterm-color", LGTTYColorMode::Terminal16},
      {std::nullopt, "xterm-256color", LGTTYColorMode::Terminal256},
      {std::nullopt, "XTERM-256COLOR", LGTTYColorMode::Terminal256},
      {std::nullopt, "xterm-color", LGTTYColorMode::Terminal16},
      {std::nullopt, "screen.Color", LGTTYColorMode::Terminal16},
      {std::nullopt, "xterm", LGTTYColorMode::None},
      {std::nullopt, "xterm-256", LGTTYColorMode::None},
      {"yes", "dumb", LGTTYColorMode::None},
      {std::nullopt, std::nullopt, LGTTYColorMode::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logColors.value_or("(unset)") + " / " + c.term.value_or("(unset)"));
    EXPECT_EQ(LGTTYColorModeForEnvironment(c.logColors, c.term), c.mode);
  }
}

TEST(LGTTYLogger, ProfilesCarryTheExactEscapeSequencesOfEachMode) {
  const LGColor error = LGColor::rgb(214, 57, 30);
  const LGColor blue = LGColor::rgb(0, 0, 255);
  struct Case {
    LGTTYColorMode mode;
    std::optional<LGColor> foreground, background;
    std::string fg, bg, reset;
  };
  const Case cases[] = {
      {LGTTYColorMode::Terminal16, error, std::nullopt, kEsc + "[31m", "", kEsc + "[0m"},
      {LGTTYColorMode::Terminal16, LGColor::rgb(250, 60, 30), blue, kEsc + "[1;31m", kEsc + "[44m", kEsc + "[0m"},
      {LGTTYColorMode::Terminal256, error, std::nullopt, kEsc + "[38;5;124m", "", kEsc + "[0m"},
      {LGTTYColorMode::Terminal256, std::nullopt, LGColor::rgb(240, 55, 255), "", kEsc + "[48;5;165m", kEsc + "[0m"},
      {LGTTYColorMode::PlugIn, error, blue, kEsc + "[fg214,57,30;", kEsc + "[bg0,0,255;", kEsc + "[;"},
      {LGTTYColorMode::None, error, blue, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    auto profile = LGTTYLoggerColorProfile::make(c.foreground, c.background, LGLogFlagError, 3, c.mode);
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->fgCode, c.fg);
    EXPECT_EQ(profile->bgCode, c.bg);
    EXPECT_EQ(profile->resetCode, c.reset);
  }
  auto profile = LGTTYLoggerColorProfile::make(error, std::nullopt, 1, 3, LGTTYColorMode::Terminal16);
  EXPECT_THAT(profile->description(),
              testing::MatchesRegex("<LGTTYLoggerColorProfile: 0x[0-9a-f]+ mask:1 ctxt:3 fg:214,57,30 bg:0,0,0 "
                                    "fgCode:31m bgCode:\\(null\\)>"));
}

TEST(LGTTYLogger, NearestPaletteColourPrefersTheLowerIndexOnATie) {
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::rgb(214, 57, 30), LGTTYColorMode::Terminal16), 1u);
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::rgb(0, 0, 0), LGTTYColorMode::Terminal16), 0u);
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::rgb(52, 53, 53), LGTTYColorMode::Terminal256), 232u - 16u);
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::rgb(1, 2, 3), LGTTYColorMode::None), 0u);
}

TEST_F(TTYFixture, WritesTheStandardLineWithoutColours) {
  make(LGTTYColorMode::Terminal256);
  log(LGLogFlagError, "first");
  log(LGLogFlagInfo, "second\n");  // already ends with a newline: none is added
  std::string pid = std::to_string(platform::ProcessInfo::processIdentifier());
  std::string head = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} " +
                     platform::ProcessInfo::processName() + "\\[" + pid + ":[0-9]{1,8}\\] ";
  EXPECT_THAT(output(), testing::MatchesRegex(head + "first\n" + head + "second\n"));
}

TEST_F(TTYFixture, DefaultColoursWrapErrorsAndWarningsOnly) {
  auto logger = make(LGTTYColorMode::Terminal16);
  EXPECT_FALSE(logger->colorsEnabled());
  logger->setColorsEnabled(true);
  EXPECT_TRUE(logger->colorsEnabled());
  logger->setLogFormatter(std::make_shared<FixedFormatter>("x"));
  log(LGLogFlagError, "e");
  log(LGLogFlagWarning, "w");
  log(LGLogFlagInfo, "i");
  // (204,121,32) is nearest to yellow (173,173,39): index 3.
  EXPECT_EQ(output(), kEsc + "[31mx\n" + kEsc + "[0m" + kEsc + "[33mx\n" + kEsc + "[0m" + "x\n");
}

TEST_F(TTYFixture, ContextProfileBeatsAnEarlierEveryContextProfileAndTagsBeatBoth) {
  auto logger = make(LGTTYColorMode::PlugIn);
  logger->setColorsEnabled(true);
  logger->clearAllColors();
  logger->setForegroundColor(LGColor::rgb(1, 1, 1), std::nullopt, LGLogFlagWarning);
  logger->setForegroundColor(LGColor::rgb(5, 5, 5), std::nullopt, LGLogFlagWarning, 5);
  logger->setForegroundColorForTag(LGColor::rgb(9, 9, 9), std::nullopt, platform::Value("tagged"));
  logger->setLogFormatter(std::make_shared<FixedFormatter>("x\n"));
  log(LGLogFlagWarning, "a", 5);
  log(LGLogFlagWarning, "b", 6);
  log(LGLogFlagWarning, "c", 5, platform::Value("tagged"));
  log(LGLogFlagError, "d", 5);                   // no profile for errors
  logger->clearColorsForFlag(LGLogFlagWarning);  // the every-context one
  log(LGLogFlagWarning, "e", 6);
  const std::string reset = kEsc + "[;";
  EXPECT_EQ(output(), kEsc + "[fg5,5,5;x\n" + reset + kEsc + "[fg1,1,1;x\n" + reset + kEsc + "[fg9,9,9;x\n" + reset +
                          "x\n" + "x\n");
}

TEST_F(TTYFixture, CustomTextGetsANewlineOnlyWhenAskedAndMissing) {
  auto logger = make(LGTTYColorMode::None);
  logger->setLogFormatter(std::make_shared<FixedFormatter>("plain"));
  log(LGLogFlagInfo, "1");
  logger->setLogFormatter(std::make_shared<FixedFormatter>("ends\n"));
  log(LGLogFlagInfo, "2");
  LGLog::flushLog();
  logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
  logger->setLogFormatter(std::make_shared<FixedFormatter>("bare"));
  log(LGLogFlagInfo, "3");
  EXPECT_EQ(output(), "plain\nends\nbare");
}

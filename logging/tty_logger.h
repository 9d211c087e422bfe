#pragma once

// The terminal logger: one line per message on standard error, optionally coloured.
//
// Colour mode, decided once from the environment when the shared instance is made:
//   "LogColors" equal to "YES" exactly      plug-in colours: ESC "[fg<r>,<g>,<b>;" ... ESC "[;"
//   else "TERM" containing "color" (any case): terminal colours, from the 256-colour palette when
//                                             "TERM" also contains "256", else the 16-colour one
//                                             (ESC "[38;5;<n>m" / ESC "[31m" ... ESC "[0m")
//   else                                      no colours.
// A colour is attached to flags (optionally for one context only) or to a tag through a colour
// profile; the nearest palette colour stands for the one asked for.
//
// Line: "<yyyy-MM-dd HH:mm:ss:SSS local time> <process>[<pid>:<thread id, 8 bytes at most>] <text>"
// with a newline unless the text ends with one, between the profile's colour and reset codes. A
// formatter's text is written as it is (plus a newline when automaticallyAppendNewline... is on).
// Each message is one gathered write(2) of its pieces, so lines of several processes sharing the
// terminal do not interleave.
//
// Threads: profile changes and writes run on the logger's queue; the setters may be called from
// any thread and take effect between two messages, in issue order. colorsEnabled() must not be
// called from the global logging queue or the logger's queue.

#include <sys/uio.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "logging/logger.h"
#include "platform/runtime/value.h"

// A colour in calibrated RGB, each component from 0 to 1.
struct LGColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  // From components on the 0 to 255 scale.
  static constexpr LGColor rgb(int red, int green, int blue) { return {red / 255.0, green / 255.0, blue / 255.0}; }
  friend bool operator==(const LGColor&, const LGColor&) = default;
};

enum class LGTTYColorMode { None, Terminal16, Terminal256, PlugIn };

// The colour mode for these environment values (nullopt: the variable is not set).
LGTTYColorMode LGTTYColorModeForEnvironment(const std::optional<std::string>& logColors,
                                            const std::optional<std::string>& term);

// Context that stands for every context in a flag profile.
inline constexpr std::int64_t LGTTYLoggerAllContexts = 2147483647;

// The colours of one flag mask and context (or of one tag), with their escape codes prepared.
class LGTTYLoggerColorProfile {
 public:
  // nullptr when a code cannot be built. Missing colours give empty codes.
  static std::shared_ptr<LGTTYLoggerColorProfile> make(const std::optional<LGColor>& foreground,
                                                       const std::optional<LGColor>& background, std::uint64_t mask,
                                                       std::int64_t context, LGTTYColorMode mode);

  std::uint64_t mask = 0;
  std::int64_t context = 0;
  std::uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
  std::uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
  std::uint64_t fgCodeIndex = 0;
  std::optional<std::string> fgCodeRaw;  // the palette's code ("31m"); terminal colours only
  std::uint64_t bgCodeIndex = 0;
  std::optional<std::string> bgCodeRaw;
  std::string fgCode;  // the whole escape sequence, at most 23 bytes
  std::string bgCode;
  std::string resetCode;

  std::string description() const;
};

class LGTTYLogger : public LGAbstractLogger {
  ZORVEL_CLASS(LGTTYLogger, LGAbstractLogger)

 public:
  // The process's terminal logger, writing to standard error; made on first use.
  static std::shared_ptr<LGTTYLogger> sharedInstance();
  // A logger of its own colour mode writing to another descriptor (a pipe, a file); the caller
  // keeps the descriptor open while the logger lives.
  static std::shared_ptr<LGTTYLogger> loggerWithColorMode(LGTTYColorMode mode, int fileDescriptor);

  std::string loggerName() override;
  void logMessage(const LGLogMessagePtr& message) override;

  LGTTYColorMode colorMode() const { return mode_; }
  bool colorsEnabled();
  // Also loads the default profiles (errors red, warnings orange) when there are none.
  void setColorsEnabled(bool enabled);

  void setForegroundColor(std::optional<LGColor> foreground, std::optional<LGColor> background, std::uint64_t flag,
                          std::int64_t context = LGTTYLoggerAllContexts);
  // A tag's profile wins over every flag profile.
  void setForegroundColorForTag(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                platform::Value tag);
  void clearColorsForFlag(std::uint64_t flag, std::int64_t context = LGTTYLoggerAllContexts);
  void clearColorsForTag(platform::Value tag);
  void clearColorsForAllFlags();
  void clearColorsForAllTags();
  void clearAllColors();

  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool append) { appendNewline_.store(append); }

  // The nearest colour of the mode's palette (0 when the mode has none); ties go to the lower index.
  static std::uint64_t codeIndexForColor(const LGColor& color, LGTTYColorMode mode);

 private:
  LGTTYLogger(LGTTYColorMode mode, int fileDescriptor);
  void loadDefaultColorProfiles();
  const LGTTYLoggerColorProfile* profileFor(const LGLogMessage& message) const;
  std::size_t timestamp(const LGLogMessage& message, char* buffer, std::size_t size);

  const LGTTYColorMode mode_;
  const int fd_;
  std::string app_;  // the process name, "<UnnamedApp>" when empty
  std::string pid_;
  std::atomic<bool> appendNewline_{true};
  // Touched only on the logger's queue.
  bool colorsEnabled_ = false;
  std::vector<std::shared_ptr<LGTTYLoggerColorProfile>> profiles_;
  std::unordered_map<platform::Value, std::shared_ptr<LGTTYLoggerColorProfile>, platform::ValueHash> tagProfiles_;
  std::int64_t cachedSecond_ = INT64_MIN;
  char cachedPrefix_[80] = {};  // "yyyy-MM-dd HH:mm:ss:" of cachedSecond_
};

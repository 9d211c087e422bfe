#include "logging/tty_logger.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "logging/fd_write_internal.h"
#include "platform/runtime/format.h"
#include "platform/system/process.h"
#include "platform/system/text.h"

namespace {

struct Rgb {
  int r, g, b;
};

// The 16 standard terminal colours as a terminal shows them.
constexpr Rgb kPalette16[16] = {
    {0, 0, 0},      {194, 54, 33},   {37, 188, 36},   {173, 173, 39},  {73, 46, 225}, {211, 56, 211},
    {51, 187, 200}, {203, 204, 205}, {129, 131, 131}, {252, 57, 31},   {49, 231, 34}, {234, 236, 35},
    {88, 51, 255},  {249, 53, 248},  {20, 240, 240},  {233, 235, 235},
};

// Terminal colour numbers 16 to 255: the 6x6x6 cube, then 24 greys, as a terminal shows them.
constexpr Rgb kPalette256[240] = {
    {47, 49, 49},    {60, 42, 144},   {66, 44, 183},   {73, 46, 222},   {81, 50, 253},   {88, 51, 255},    // 16
    {42, 128, 37},   {42, 127, 128},  {44, 126, 169},  {56, 125, 209},  {59, 124, 245},  {66, 123, 255},   // 22
    {51, 163, 41},   {39, 162, 121},  {42, 161, 162},  {53, 160, 202},  {45, 159, 240},  {58, 158, 255},   // 28
    {31, 196, 37},   {48, 196, 115},  {39, 195, 155},  {49, 195, 195},  {32, 194, 235},  {53, 193, 255},   // 34
    {50, 229, 35},   {40, 229, 109},  {27, 229, 149},  {49, 228, 189},  {33, 228, 228},  {53, 227, 255},   // 40
    {27, 254, 30},   {30, 254, 103},  {45, 254, 143},  {38, 253, 182},  {38, 253, 222},  {42, 253, 252},   // 46
    {140, 48, 40},   {136, 51, 136},  {135, 52, 177},  {134, 52, 217},  {135, 56, 248},  {134, 53, 255},   // 52
    {125, 125, 38},  {124, 125, 125}, {122, 124, 166}, {123, 124, 207}, {123, 122, 247}, {124, 121, 255},  // 58
    {119, 160, 35},  {117, 160, 120}, {117, 160, 160}, {115, 159, 201}, {116, 158, 240}, {117, 157, 255},  // 64
    {113, 195, 39},  {110, 194, 114}, {111, 194, 154}, {108, 194, 194}, {109, 193, 234}, {108, 192, 255},  // 70
    {105, 228, 30},  {103, 228, 109}, {105, 228, 148}, {100, 227, 188}, {99, 227, 227},  {99, 226, 253},   // 76
    {92, 253, 34},   {96, 253, 103},  {97, 253, 142},  {88, 253, 182},  {93, 253, 221},  {88, 254, 251},   // 82
    {177, 53, 34},   {174, 54, 131},  {172, 55, 172},  {171, 57, 213},  {170, 55, 249},  {170, 57, 255},   // 88
    {165, 123, 37},  {163, 123, 123}, {162, 123, 164}, {161, 122, 205}, {161, 121, 241}, {161, 121, 255},  // 94
    {158, 159, 33},  {157, 158, 118}, {157, 158, 159}, {155, 157, 199}, {155, 157, 239}, {154, 156, 255},  // 100
    {152, 193, 40},  {151, 193, 113}, {150, 193, 153}, {150, 192, 193}, {148, 192, 232}, {149, 191, 253},  // 106
    {146, 227, 28},  {144, 227, 108}, {144, 227, 147}, {144, 227, 187}, {142, 226, 227}, {142, 225, 252},  // 112
    {138, 253, 36},  {137, 253, 102}, {136, 253, 141}, {138, 254, 181}, {135, 255, 220}, {133, 255, 250},  // 118
    {214, 57, 30},   {211, 59, 126},  {209, 57, 168},  {208, 55, 208},  {207, 58, 247},  {206, 61, 255},   // 124
    {204, 121, 32},  {202, 121, 121}, {201, 121, 161}, {200, 120, 202}, {200, 120, 241}, {198, 119, 255},  // 130
    {198, 157, 37},  {196, 157, 116}, {195, 156, 157}, {195, 156, 197}, {194, 155, 236}, {193, 155, 255},  // 136
    {191, 192, 36},  {190, 191, 112}, {189, 191, 152}, {189, 191, 191}, {188, 190, 230}, {187, 190, 253},  // 142
    {185, 226, 28},  {184, 226, 106}, {183, 225, 146}, {183, 225, 186}, {182, 225, 225}, {181, 224, 252},  // 148
    {178, 255, 35},  {178, 255, 101}, {177, 254, 141}, {176, 254, 180}, {176, 254, 220}, {175, 253, 249},  // 154
    {247, 56, 30},   {245, 57, 122},  {243, 59, 163},  {244, 60, 204},  {242, 59, 241},  {240, 55, 255},   // 160
    {241, 119, 36},  {240, 120, 118}, {238, 119, 158}, {237, 119, 199}, {237, 118, 238}, {236, 118, 255},  // 166
    {235, 154, 36},  {235, 154, 114}, {234, 154, 154}, {232, 154, 194}, {232, 153, 234}, {232, 153, 255},  // 172
    {230, 190, 30},  {229, 189, 110}, {228, 189, 150}, {227, 189, 190}, {227, 189, 229}, {226, 188, 255},  // 178
    {224, 224, 35},  {223, 224, 105}, {222, 224, 144}, {222, 223, 184}, {222, 223, 224}, {220, 223, 253},  // 184
    {217, 253, 28},  {217, 253, 99},  {216, 252, 139}, {216, 252, 179}, {215, 252, 218}, {215, 251, 250},  // 190
    {255, 61, 30},   {255, 60, 118},  {255, 58, 159},  {255, 56, 199},  {255, 55, 238},  {255, 59, 255},   // 196
    {255, 117, 29},  {255, 117, 115}, {255, 117, 155}, {255, 117, 195}, {255, 116, 235}, {254, 116, 255},  // 202
    {255, 152, 27},  {255, 152, 111}, {254, 152, 152}, {255, 152, 192}, {254, 151, 231}, {253, 151, 253},  // 208
    {255, 187, 33},  {253, 187, 107}, {252, 187, 148}, {253, 187, 187}, {254, 187, 227}, {252, 186, 252},  // 214
    {252, 222, 34},  {251, 222, 103}, {251, 222, 143}, {250, 222, 182}, {251, 221, 222}, {252, 221, 252},  // 220
    {251, 252, 15},  {251, 252, 97},  {249, 252, 137}, {247, 252, 177}, {247, 253, 217}, {254, 255, 255},  // 226
    {52, 53, 53},    {57, 58, 59},    {66, 67, 67},    {75, 76, 76},    {83, 85, 85},    {92, 93, 94},     // 232
    {101, 102, 102}, {109, 111, 111}, {118, 119, 119}, {126, 127, 128}, {134, 136, 136}, {143, 144, 145},  // 238
    {151, 152, 153}, {159, 161, 161}, {167, 169, 169}, {176, 177, 177}, {184, 185, 186}, {192, 193, 194},  // 244
    {200, 201, 202}, {208, 209, 210}, {216, 218, 218}, {224, 226, 226}, {232, 234, 234}, {240, 242, 242},  // 250
};

struct Palette {
  std::vector<LGColor> colors;
  std::vector<std::string> foregroundCodes;
  std::vector<std::string> backgroundCodes;
};

const Palette& paletteFor(LGTTYColorMode mode) {
  static const Palette none;
  static const Palette sixteen = [] {
    Palette p;
    for (int i = 0; i < 16; ++i) {
      p.colors.push_back(LGColor::rgb(kPalette16[i].r, kPalette16[i].g, kPalette16[i].b));
      const char* bold = i < 8 ? "" : "1;";
      p.foregroundCodes.push_back(platform::format("%s3%dm", bold, i % 8));
      p.backgroundCodes.push_back(platform::format("%s4%dm", bold, i % 8));
    }
    return p;
  }();
  static const Palette full = [] {
    Palette p;
    for (int i = 0; i < 240; ++i) {
      p.colors.push_back(LGColor::rgb(kPalette256[i].r, kPalette256[i].g, kPalette256[i].b));
      p.foregroundCodes.push_back(platform::format("38;5;%dm", 16 + i));
      p.backgroundCodes.push_back(platform::format("48;5;%dm", 16 + i));
    }
    return p;
  }();
  switch (mode) {
    case LGTTYColorMode::Terminal16:
      return sixteen;
    case LGTTYColorMode::Terminal256:
      return full;
    default:
      return none;
  }
}

std::uint8_t component255(double value) {
  double scaled = value * 255;
  if (!(scaled > 0)) return 0;
  if (scaled >= 255) return 255;
  return static_cast<std::uint8_t>(scaled);  // truncated
}

constexpr char kEscape = '\033';

// The escape code of one colour of a profile; false when it cannot be made.
void makeCode(const std::optional<LGColor>& color, bool foreground, LGTTYColorMode mode, std::uint8_t r, std::uint8_t g,
              std::uint8_t b, std::uint64_t& index, std::optional<std::string>& raw, std::string& code) {
  if (!color) return;
  if (mode == LGTTYColorMode::Terminal16 || mode == LGTTYColorMode::Terminal256) {
    const Palette& palette = paletteFor(mode);
    index = LGTTYLogger::codeIndexForColor(*color, mode);
    raw = (foreground ? palette.foregroundCodes : palette.backgroundCodes)[index];
    code = std::string(1, kEscape) + "[" + *raw;
  } else if (mode == LGTTYColorMode::PlugIn) {
    code = platform::format("%c[%s%u,%u,%u;", kEscape, foreground ? "fg" : "bg", static_cast<unsigned>(r),
                            static_cast<unsigned>(g), static_cast<unsigned>(b));
    if (code.size() > 23) code.resize(23);
  }
}

bool containsCaseInsensitive(std::string_view text, std::string_view part) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

}  // namespace

LGTTYColorMode LGTTYColorModeForEnvironment(const std::optional<std::string>& logColors,
                                            const std::optional<std::string>& term) {
  if (logColors && *logColors == "YES") return LGTTYColorMode::PlugIn;
  if (term && containsCaseInsensitive(*term, "color"))
    return containsCaseInsensitive(*term, "256") ? LGTTYColorMode::Terminal256 : LGTTYColorMode::Terminal16;
  return LGTTYColorMode::None;
}

// --- Profiles ------------------------------------------------------------------------------------

std::shared_ptr<LGTTYLoggerColorProfile> LGTTYLoggerColorProfile::make(const std::optional<LGColor>& foreground,
                                                                       const std::optional<LGColor>& background,
                                                                       std::uint64_t mask, std::int64_t context,
                                                                       LGTTYColorMode mode) {
  auto profile = std::make_shared<LGTTYLoggerColorProfile>();
  profile->mask = mask;
  profile->context = context;
  if (foreground) {
    profile->fg_r = component255(foreground->red);
    profile->fg_g = component255(foreground->green);
    profile->fg_b = component255(foreground->blue);
  }
  if (background) {
    profile->bg_r = component255(background->red);
    profile->bg_g = component255(background->green);
    profile->bg_b = component255(background->blue);
  }
  makeCode(foreground, true, mode, profile->fg_r, profile->fg_g, profile->fg_b, profile->fgCodeIndex,
           profile->fgCodeRaw, profile->fgCode);
  makeCode(background, false, mode, profile->bg_r, profile->bg_g, profile->bg_b, profile->bgCodeIndex,
           profile->bgCodeRaw, profile->bgCode);
  if (mode == LGTTYColorMode::Terminal16 || mode == LGTTYColorMode::Terminal256)
    profile->resetCode = std::string(1, kEscape) + "[0m";
  else if (mode == LGTTYColorMode::PlugIn)
    profile->resetCode = std::string(1, kEscape) + "[;";
  return profile;
}

std::string LGTTYLoggerColorProfile::description() const {
  return platform::format("<LGTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
                          static_cast<const void*>(this), static_cast<int>(mask), static_cast<long>(context),
                          unsigned{fg_r}, unsigned{fg_g}, unsigned{fg_b}, unsigned{bg_r}, unsigned{bg_g},
                          unsigned{bg_b}, fgCodeRaw, bgCodeRaw);
}

std::uint64_t LGTTYLogger::codeIndexForColor(const LGColor& color, LGTTYColorMode mode) {
  const Palette& palette = paletteFor(mode);
  double best = 100;
  std::uint64_t bestIndex = 0;
  for (std::size_t i = 0; i < palette.colors.size(); ++i) {
    const LGColor& c = palette.colors[i];
    double distance =
        std::sqrt((color.red - c.red) * (color.red - c.red) + (color.green - c.green) * (color.green - c.green) +
                  (color.blue - c.blue) * (color.blue - c.blue));
    if (distance < best) {
      best = distance;
      bestIndex = i;
    }
  }
  return bestIndex;
}

// --- The logger ----------------------------------------------------------------------------------

LGTTYLogger::LGTTYLogger(LGTTYColorMode mode, int fileDescriptor) : mode_(mode), fd_(fileDescriptor) {
  app_ = platform::ProcessInfo::processName();
  if (app_.empty()) app_ = "<UnnamedApp>";
  pid_ = std::to_string(platform::ProcessInfo::processIdentifier());
}

std::shared_ptr<LGTTYLogger> LGTTYLogger::sharedInstance() {
  static const std::shared_ptr<LGTTYLogger> instance = [] {
    using platform::ProcessInfo;
    LGTTYColorMode mode =
        LGTTYColorModeForEnvironment(ProcessInfo::environmentValue("LogColors"), ProcessInfo::environmentValue("TERM"));
    return platform::make<LGTTYLogger>(mode, STDERR_FILENO);
  }();
  return instance;
}

std::shared_ptr<LGTTYLogger> LGTTYLogger::loggerWithColorMode(LGTTYColorMode mode, int fileDescriptor) {
  return platform::make<LGTTYLogger>(mode, fileDescriptor);
}

std::string LGTTYLogger::loggerName() { return std::string(LGLogFrameworkLabel) + ".ttyLogger"; }

bool LGTTYLogger::colorsEnabled() {
  return syncThroughLoggingQueue([this] { return colorsEnabled_; });
}

void LGTTYLogger::setColorsEnabled(bool enabled) {
  asyncThroughLoggingQueue([this, enabled] {
    colorsEnabled_ = enabled;
    if (profiles_.empty()) loadDefaultColorProfiles();
  });
}

void LGTTYLogger::loadDefaultColorProfiles() {
  for (auto [flag, color] : {std::pair{LGLogFlagError, LGColor::rgb(214, 57, 30)},
                             std::pair{LGLogFlagWarning, LGColor::rgb(204, 121, 32)}}) {
    if (auto profile = LGTTYLoggerColorProfile::make(color, std::nullopt, flag, LGTTYLoggerAllContexts, mode_))
      profiles_.push_back(std::move(profile));
  }
}

void LGTTYLogger::setForegroundColor(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                     std::uint64_t flag, std::int64_t context) {
  onLoggerQueue([this, foreground, background, flag, context] {
    auto profile = LGTTYLoggerColorProfile::make(foreground, background, flag, context, mode_);
    if (!profile) return;
    for (auto& existing : profiles_) {
      if (existing->mask == flag && existing->context == context) {
        existing = std::move(profile);
        return;
      }
    }
    profiles_.push_back(std::move(profile));
  });
}

void LGTTYLogger::setForegroundColorForTag(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                           platform::Value tag) {
  onLoggerQueue([this, foreground, background, tag = std::move(tag)] {
    auto profile = LGTTYLoggerColorProfile::make(foreground, background, 0, 0, mode_);
    if (profile) tagProfiles_[tag] = std::move(profile);
  });
}

void LGTTYLogger::clearColorsForFlag(std::uint64_t flag, std::int64_t context) {
  onLoggerQueue([this, flag, context] {
    for (auto it = profiles_.begin(); it != profiles_.end(); ++it) {
      if ((*it)->mask == flag && (*it)->context == context) {
        profiles_.erase(it);
        return;
      }
    }
  });
}

void LGTTYLogger::clearColorsForTag(platform::Value tag) {
  onLoggerQueue([this, tag = std::move(tag)] { tagProfiles_.erase(tag); });
}

void LGTTYLogger::clearColorsForAllFlags() {
  onLoggerQueue([this] { profiles_.clear(); });
}

void LGTTYLogger::clearColorsForAllTags() {
  onLoggerQueue([this] { tagProfiles_.clear(); });
}

void LGTTYLogger::clearAllColors() {
  onLoggerQueue([this] {
    profiles_.clear();
    tagProfiles_.clear();
  });
}

const LGTTYLoggerColorProfile* LGTTYLogger::profileFor(const LGLogMessage& message) const {
  if (!message.tag().isNil()) {
    auto it = tagProfiles_.find(message.tag());
    if (it != tagProfiles_.end()) return it->second.get();
  }
  const LGTTYLoggerColorProfile* everyContext = nullptr;
  for (const auto& profile : profiles_) {
    if (!(profile->mask & message.flag())) continue;
    if (profile->context == message.context()) return profile.get();
    if (profile->context == LGTTYLoggerAllContexts) everyContext = profile.get();
  }
  return everyContext;
}

std::size_t LGTTYLogger::timestamp(const LGLogMessage& message, char* buffer, std::size_t size) {
  double sinceReference = message.timestamp().timeIntervalSinceReferenceDate();
  double whole = std::floor(sinceReference);
  int millis = static_cast<int>((sinceReference - whole) * 1000);
  auto second = static_cast<std::int64_t>(whole + platform::kTimeIntervalBetween1970AndReferenceDate);
  if (second != cachedSecond_) {
    auto t = static_cast<std::time_t>(second);
    std::tm parts{};
    localtime_r(&t, &parts);
    std::snprintf(cachedPrefix_, sizeof cachedPrefix_,
                  "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:", static_cast<long>(parts.tm_year) + 1900,
                  static_cast<long>(parts.tm_mon) + 1, static_cast<long>(parts.tm_mday),
                  static_cast<long>(parts.tm_hour), static_cast<long>(parts.tm_min), static_cast<long>(parts.tm_sec));
    cachedSecond_ = second;
  }
  int written = std::snprintf(buffer, size, "%s%03d", cachedPrefix_, millis);
  return written < 0 ? 0 : std::min(static_cast<std::size_t>(written), size - 1);
}

void LGTTYLogger::logMessage(const LGLogMessagePtr& message) {
  LineText line;
  if (!lineTextFor(message, line)) return;
  const bool custom = line.custom;  // a filter's unchanged text gets the standard line
  const std::string& text = *line.text;
  const bool endsWithNewline = line.endsWithNewline();

  const LGTTYLoggerColorProfile* profile = colorsEnabled_ ? profileFor(*message) : nullptr;
  auto piece = [](const std::string& s) { return iovec{const_cast<char*>(s.data()), s.size()}; };
  static const std::string kEmpty, kNewline = "\n", kBlank = " ", kOpen = "[", kColon = ":", kClose = "] ";
  const std::string& fg = profile ? profile->fgCode : kEmpty;
  const std::string& bg = profile ? profile->bgCode : kEmpty;
  const std::string& reset = profile ? profile->resetCode : kEmpty;

  if (custom) {
    iovec pieces[5] = {piece(fg), piece(bg), piece(text), piece(kEmpty), piece(reset)};
    if (appendNewline_.load(std::memory_order_relaxed) && !endsWithNewline) pieces[3] = piece(kNewline);
    LGWriteFully(fd_, pieces, 5);
    return;
  }
  char stamp[96];
  std::size_t stampLength = timestamp(*message, stamp, sizeof stamp);
  const std::string& thread = message->threadID();
  iovec pieces[13] = {
      piece(fg),     piece(bg),     iovec{stamp, stampLength},
      piece(kBlank), piece(app_),   piece(kOpen),
      piece(pid_),   piece(kColon), iovec{const_cast<char*>(thread.data()), std::min<std::size_t>(thread.size(), 8)},
      piece(kClose), piece(text),   piece(endsWithNewline ? kEmpty : kNewline),
      piece(reset),
  };
  LGWriteFully(fd_, pieces, 13);
}

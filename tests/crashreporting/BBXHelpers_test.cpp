// The crash kit's helpers: reads that cannot fault, hexadecimal decoding, file removal, look-ups.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "crashreporting/BBXHelpers.h"
#include "tests/support/temp_dir.h"

namespace {

volatile sig_atomic_t gSegvCount = 0;

// A mapping of two pages, the second without access.
struct HalfReadablePages {
  HalfReadablePages() {
    page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    base = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base, MAP_FAILED);
    EXPECT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  }
  ~HalfReadablePages() { munmap(base, 2 * page); }
  char* readableEnd() const { return base + page; }
  std::size_t page = 0;
  char* base = nullptr;
};

TEST(BBXReadMemory, FailsInsteadOfFaulting) {
  struct sigaction counting {
  }, previous{};
  counting.sa_handler = [](int) { gSegvCount = gSegvCount + 1; };
  sigaction(SIGSEGV, &counting, &previous);
  HalfReadablePages pages;
  std::memcpy(pages.readableEnd() - 4, "abcd", 4);
  char out[8] = {};
  struct Case {
    const char* label;
    const void* source;
    std::size_t length;
    bool ok;
  };
  const Case cases[] = {
      {"readable bytes", pages.readableEnd() - 4, 4, true},
      {"no-access page", pages.readableEnd(), 4, false},
      {"read running into the no-access page", pages.readableEnd() - 4, 8, false},
      {"null", nullptr, 4, false},
      {"pointer below 4096", reinterpret_cast<const void*>(4095), 1, false},
      {"zero length", pages.base, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(BBXReadMemory(c.source, out, c.length), c.ok);
  }
  EXPECT_EQ(std::string(out, 4), "abcd");
  sigaction(SIGSEGV, &previous, nullptr);
  EXPECT_EQ(gSegvCount, 0) << "a checked read raised SIGSEGV";
}

TEST(BBXReadString, StopsAtTheNulOrTheFirstUnreadableByte) {
  HalfReadablePages pages;
  char* text = pages.readableEnd() - 4;
  std::memcpy(text, "abc", 4);
  const char* out = nullptr;
  EXPECT_TRUE(BBXReadString(text, &out, 16));
  EXPECT_EQ(out, text);
  out = nullptr;
  EXPECT_FALSE(BBXReadString(text, &out, 3)) << "no NUL within the maximum";
  std::memcpy(text, "abcd", 4);  // now the string runs into the unreadable page
  EXPECT_FALSE(BBXReadString(text, &out, 16));
  EXPECT_FALSE(BBXReadString(pages.readableEnd(), &out, 16));
  EXPECT_EQ(out, nullptr);
}

TEST(BBXHex, DecodesPairsUpToTheFirstInvalidPair) {
  struct Case {
    const char* label;
    const char* text;
    std::string decoded;
  };
  const Case cases[] = {
      {"lower case", "616263", "abc"},
      {"upper case", "4A4b", "JK"},
      {"second pair invalid", "61zz63", "a"},
      {"lone last digit", "616", "a"},
      {"empty", "", ""},
      {"NUL byte kept", "610062", std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(BBXHexDecodeString(c.text), c.decoded);
  }
  EXPECT_EQ(BBXHexEncodeString("a\"\n"), "61220a");
  EXPECT_EQ(BBXHexDecodeString(BBXHexEncodeString("k\xff")), "k\xff");
  EXPECT_EQ(BBXHexValue('f'), 15);
  EXPECT_EQ(BBXHexValue('G'), 255);
}

TEST(BBXFileUnlinkIfExists, MissingFilesCountAsRemoved) {
  zorvel::test::TempDir dir;
  const std::string path = dir.file("f");
  { std::ofstream(path) << "x"; }
  EXPECT_TRUE(BBXFileUnlinkIfExists(path.c_str()));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(BBXFileUnlinkIfExists(path.c_str())) << "already gone";
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_FALSE(BBXFileUnlinkIfExists(dir.file("folder").c_str())) << "a folder is not removed";
}

TEST(BBXDladdrBlock, NamesTheImageOrAnswersNull) {
  std::string image;
  BBXDladdrBlock(reinterpret_cast<const void*>(&BBXHexValue), [&](const char* symbol, const char* path) {
    ASSERT_NE(symbol, nullptr);  // the name, or "unknown" for a symbol that is not exported
    ASSERT_NE(path, nullptr);
    image = path;
  });
  EXPECT_EQ(std::filesystem::canonical(image), std::filesystem::canonical("/proc/self/exe")) << image;
  bool called = false;
  BBXDladdrBlock(reinterpret_cast<const void*>(16), [&](const char* symbol, const char* path) {
    called = true;
    EXPECT_EQ(symbol, nullptr);
    EXPECT_EQ(path, nullptr);
  });
  EXPECT_TRUE(called);
}

TEST(BBXProfiling, MeasuresElapsedMilliseconds) {
  const std::uint64_t mark = BBXProfilingStart();
  usleep(20'000);
  const double elapsed = BBXProfileEndTime(mark);
  EXPECT_GE(elapsed, 19.0);
  EXPECT_EQ(BBXProfileEndTime(UINT64_MAX), 0.0) << "a mark in the future";
  bool ran = false;
  testing::internal::CaptureStderr();
  BBXProfileBlock("step", [&] { ran = true; });
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ran);
  EXPECT_EQ(printed.rfind("[Profile] step: ", 0), 0u) << printed;
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/system/text.h"

namespace platform {
namespace {

// "e" + combining acute, a family emoji (ZWJ sequence), a flag, a plain emoji.
const std::string kCombining = "e\xcc\x81";                                                              // 2 units
const std::string kFamily = "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";  // 8 units
const std::string kFlag = "\xf0\x9f\x87\xab\xf0\x9f\x87\xb7";                                            // 4 units
const std::string kGrin = "\xf0\x9f\x98\x80";                                                            // 2 units

TEST(Text, CountsUtf16CodeUnits) {
  struct Case {
    std::string text;
    std::size_t units;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"caf\xc3\xa9", 4},
      {"\xe2\x82\xac", 1},
      {kGrin, 2},
      {kCombining, 2},
      {kFamily, 8},
      {kFlag, 4},
      {"a" + kGrin + "b", 4},
      {"\xff\xfe", 2},      // two invalid bytes: two replacement characters
      {"\xf0\x9f\x98", 1},  // truncated sequence: one replacement character
      {"\xed\xa0\x80", 3},  // encoded surrogate: invalid, each byte replaced
      {"\xc0\xaf", 2},      // overlong form
  };
  for (const Case& c : cases) EXPECT_EQ(utf16Length(c.text), c.units) << c.text;
}

TEST(Text, MapsUtf16IndexesToByteOffsetsAndBack) {
  std::string s = "a" + kGrin + "\xc3\xa9z";  // units: a=0, grin=1..2, e-acute=3, z=4
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 0), 0u);
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 1), 1u);
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 2), 1u);  // inside the pair: start of the character
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 3), 5u);
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 4), 7u);
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 5), 8u);
  EXPECT_EQ(utf8OffsetForUtf16Index(s, 99), 8u);
  EXPECT_EQ(utf16IndexForUtf8Offset(s, 0), 0u);
  EXPECT_EQ(utf16IndexForUtf8Offset(s, 3), 1u);
  EXPECT_EQ(utf16IndexForUtf8Offset(s, 5), 3u);
  EXPECT_EQ(utf16IndexForUtf8Offset(s, 7), 4u);
  EXPECT_EQ(utf16IndexForUtf8Offset(s, 99), 5u);
}

TEST(Text, SubstringsByUtf16Range) {
  std::string s = "ab" + kGrin + "cd";
  struct Case {
    Range range;
    std::string expected;
  } cases[] = {
      {{0, 2}, "ab"}, {{2, 2}, kGrin},     {{1, 4}, "b" + kGrin + "c"}, {{4, 100}, "cd"},
      {{100, 5}, ""}, {{0, kNotFound}, s}, {{3, 2}, kGrin + "c"},  // starts inside the pair: whole character
  };
  for (const Case& c : cases)
    EXPECT_EQ(substringWithUtf16Range(s, c.range), c.expected) << c.range.location << "," << c.range.length;
  EXPECT_EQ(substringFromUtf16Index(s, 4), "cd");
  EXPECT_EQ(substringToUtf16Index(s, 4), "ab" + kGrin);
}

TEST(Text, ComposedCharacterSequences) {
  std::string s = "x" + kCombining + kFamily + kFlag + kGrin;
  // units: x=0, e+accent=1..2, family=3..10, flag=11..14, grin=15..16
  struct Case {
    std::size_t index;
    Range expected;
  } cases[] = {
      {0, {0, 1}},   {1, {1, 2}},   {2, {1, 2}},   {3, {3, 8}},   {7, {3, 8}},
      {11, {11, 4}}, {14, {11, 4}}, {16, {15, 2}}, {17, {17, 0}}, {500, {17, 0}},
  };
  for (const Case& c : cases) {
    Range r = rangeOfComposedCharacterSequenceAtIndex(s, c.index);
    EXPECT_EQ(r, c.expected) << c.index << " -> " << r.location << "," << r.length;
  }
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(s, {2, 2}), (Range{1, 10}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(s, {12, 100}), (Range{11, 6}));
}

TEST(Text, CaseInsensitiveComparisonFoldsFully) {
  EXPECT_EQ(compareCaseInsensitive("Hello", "hELLO"), 0);
  EXPECT_EQ(compareCaseInsensitive("Stra\xc3\x9f"
                                   "e",
                                   "STRASSE"),
            0);
  EXPECT_EQ(compareCaseInsensitive("\xce\xa3\xce\x99\xce\xa3", "\xcf\x83\xce\xb9\xcf\x82"), 0);  // Greek final sigma
  EXPECT_LT(compareCaseInsensitive("apple", "Banana"), 0);
  EXPECT_GT(compareCaseInsensitive("b", "A"), 0);
  EXPECT_LT(compareCaseInsensitive("ab", "ABC"), 0);
  EXPECT_TRUE(equalsCaseInsensitive("\xff", "\xef\xbf\xbd"));  // invalid byte reads as U+FFFD
}

TEST(Text, Utf16ConversionReplacesInvalidInput) {
  EXPECT_EQ(toUtf16("a" + kGrin), (std::u16string{u'a', 0xD83D, 0xDE00}));
  EXPECT_EQ(fromUtf16(std::u16string{u'a', 0xD83D, 0xDE00}), "a" + kGrin);
  EXPECT_EQ(fromUtf16(std::u16string{0xD83D, u'a'}),
            "\xef\xbf\xbd"
            "a");
  EXPECT_EQ(sanitizedUtf8("a\xff"
                          "b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_TRUE(isValidUtf8("caf\xc3\xa9 \xef\xbf\xbd"));
  EXPECT_FALSE(isValidUtf8("caf\xc3"));
}

TEST(TextPaths, StandardizingPath) {
  setenv("HOME", "/home/tester", 1);
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/./b//c/", "/a/b/c"},
      {"/a/b/../c", "/a/c"},
      {"/../a", "/a"},
      {"/a/..", "/"},
      {"a/../../b", "../b"},
      {"./a", "a"},
      {"~", "/home/tester"},
      {"~/docs/../x", "/home/tester/x"},
      {"/", "/"},
      {"", ""},
      {"//", "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(standardizingPath(c.in), c.out) << c.in;
  EXPECT_EQ(expandingTildeInPath("~/"), "/home/tester");
  EXPECT_EQ(expandingTildeInPath("/a/~"), "/a/~");
  EXPECT_EQ(expandingTildeInPath("~nosuchuser-zorvel/x"), "~nosuchuser-zorvel/x");
}

TEST(TextPaths, ComponentHelpers) {
  struct Case {
    const char* path;
    const char* last;
    const char* extension;
    const char* deletingLast;
    const char* deletingExtension;
  } cases[] = {
      {"/a/b.txt", "b.txt", "txt", "/a", "/a/b"},
      {"/a/b/", "b", "", "/a", "/a/b"},
      {"/a", "a", "", "/", "/a"},
      {"/", "/", "", "/", "/"},
      {"a", "a", "", "", "a"},
      {"", "", "", "", ""},
      {"/a/.hidden", ".hidden", "", "/a", "/a/.hidden"},
      {"/a.d/b", "b", "", "/a.d", "/a.d/b"},
      {"/a/b.tar.gz", "b.tar.gz", "gz", "/a", "/a/b.tar"},
      {"b.", "b.", "", "", "b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
    EXPECT_EQ(pathExtension(c.path), c.extension) << c.path;
    EXPECT_EQ(deletingLastPathComponent(c.path), c.deletingLast) << c.path;
    EXPECT_EQ(deletingPathExtension(c.path), c.deletingExtension) << c.path;
  }
}

TEST(TextPaths, AppendingComponentsAndExtensions) {
  struct Case {
    const char* path;
    const char* component;
    const char* out;
  } components[] = {
      {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a", "/b", "/a/b"}, {"", "b", "b"},
      {"/", "b", "/b"},    {"/a", "", "/a"},     {"a", "b/", "a/b"},   {"/a", "b//c", "/a/b/c"},
  };
  for (const Case& c : components) EXPECT_EQ(appendingPathComponent(c.path, c.component), c.out) << c.path;
  Case extensions[] = {
      {"/a/b", "txt", "/a/b.txt"}, {"/a/b/", "txt", "/a/b.txt"}, {"/", "txt", "/"}, {"", "txt", ""},
      {"/a/b", "x/y", "/a/b"},
  };
  for (const Case& c : extensions) EXPECT_EQ(appendingPathExtension(c.path, c.component), c.out) << c.path;
  EXPECT_EQ(pathComponents("/a/b/"), (std::vector<std::string>{"/", "a", "b", "/"}));
  EXPECT_EQ(pathComponents("a//b"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace platform

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "platform/runtime/error.h"
#include "platform/runtime/format.h"

namespace platform {
namespace {

class Thing : public Object {
 public:
  std::string description() const override { return "<Thing>"; }
};

TEST(Format, IntegerConversions) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      {format("%d", 42), "42"},
      {format("%i", -7), "-7"},
      {format("%u", 7u), "7"},
      {format("%u", -1), "4294967295"},  // in the argument's own width
      {format("%d", 4294967295u), "-1"},
      {format("%ld", INT64_MIN), "-9223372036854775808"},
      {format("%lu", UINT64_MAX), "18446744073709551615"},
      {format("%lld", std::int64_t{1} << 40), "1099511627776"},
      {format("%llu", std::uint64_t{1} << 63), "9223372036854775808"},
      {format("%zu", std::size_t{12}), "12"},
      {format("%zd", std::ptrdiff_t{-12}), "-12"},
      {format("%li", 3L), "3"},
      {format("%hhu", 300), "44"},
      {format("%hd", 70000), "4464"},
      {format("%x", 255), "ff"},
      {format("%X", 255), "FF"},
      {format("%#x", 255), "0xff"},
      {format("%llx", UINT64_MAX), "ffffffffffffffff"},
      {format("%x", -1), "ffffffff"},
      {format("%o", 8), "10"},
      {format("%02li", 5L), "05"},
      {format("%04ld", -5L), "-005"},
      {format("%03d", 1234), "1234"},
      {format("%5d|", 42), "   42|"},
      {format("%-5d|", 42), "42   |"},
      {format("%+d", 42), "+42"},
      {format("%*d", 6, 42), "    42"},
      {format("%-*d|", 4, 7), "7   |"},
      {format("%*d|", -4, 7), "7   |"},
      {format("%d", true), "1"},
      {format("%c", 'A'), "A"},
      {format("%c", 0x263A), "\xe2\x98\xba"},
      {format("%d", 'A'), "65"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(Format, FloatingConversions) {
  EXPECT_EQ(format("%f", 1.5), "1.500000");
  EXPECT_EQ(format("%.3f", 3.14159), "3.142");
  EXPECT_EQ(format("%.0f", 2.5), "2");
  EXPECT_EQ(format("%8.2f|", -1.0), "   -1.00|");
  EXPECT_EQ(format("%e", 12345.678), "1.234568e+04");
  EXPECT_EQ(format("%g", 0.0001), "0.0001");
  EXPECT_EQ(format("%g", 1e20), "1e+20");
  EXPECT_EQ(format("%f", 2), "2.000000");  // an integer for %f is converted, not misread
  EXPECT_EQ(format("%.2f", 1.0f), "1.00");
}

TEST(Format, TextConversions) {
  std::string s = "abc";
  std::string_view view = "view";
  const char* nothing = nullptr;
  EXPECT_EQ(format("%s", "lit"), "lit");
  EXPECT_EQ(format("%s", s), "abc");
  EXPECT_EQ(format("%s", view), "view");
  EXPECT_EQ(format("%s", nothing), "(null)");
  EXPECT_EQ(format("%-10s|", "ab"), "ab        |");
  EXPECT_EQ(format("%10s|", "ab"), "        ab|");
  EXPECT_EQ(format("%.2s", "abcdef"), "ab");
  EXPECT_EQ(format("%.1s|", "\xf0\x9f\x98\x80z"), "|");  // never splits a character
  EXPECT_EQ(format("%3s|", "\xc3\xa9"), "  \xc3\xa9|");  // width counts characters, not bytes
  EXPECT_EQ(format("100%%"), "100%");
  EXPECT_EQ(format("no conversions"), "no conversions");
}

TEST(Format, ObjectConversion) {
  auto thing = std::make_shared<Thing>();
  std::shared_ptr<Thing> none;
  EXPECT_EQ(format("%@", thing), "<Thing>");
  EXPECT_EQ(format("%@", none), "(null)");
  EXPECT_EQ(format("%@", Value()), "(null)");
  EXPECT_EQ(format("%@", Value("plain")), "plain");
  EXPECT_EQ(format("%@", Value::array({1, "a b"})), "(\n    1,\n    \"a b\"\n)");
  EXPECT_EQ(format("%@", Value(2.5)), "2.5");
  EXPECT_EQ(format("%@", std::string("str")), "str");
  EXPECT_EQ(format("%@", 12), "12");
  EXPECT_EQ(format("%@", Date(0)), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(format("%@", Error::make("D", 3)),
            "Error Domain=D Code=3 \"The operation couldn\u2019t be completed. (D error 3.)\"");
  EXPECT_EQ(format("%@", Exception("N", "why")), "why");
  EXPECT_EQ(format("%@", std::optional<std::string>()), "(null)");
  EXPECT_EQ(format("%@", std::optional<std::string>("x")), "x");
  EXPECT_EQ(format("[%-8@]", Value("ab")), "[ab      ]");
}

TEST(Format, Pointers) {
  int x = 0;
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&x)));
  EXPECT_EQ(format("%p", &x), expected);
  EXPECT_EQ(format("%p", nullptr), "0x0");
  auto thing = std::make_shared<Thing>();
  std::snprintf(expected, sizeof expected, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(thing.get())));
  EXPECT_EQ(format("%p", thing), expected);
}

TEST(Format, PositionalArguments) {
  EXPECT_EQ(format("%2$@ %1$@", Value("world"), Value("hello")), "hello world");
  EXPECT_EQ(format("%1$@ and %1$@", "same"), "same and same");
  EXPECT_EQ(format("%2$d-%1$s", "a", 5), "5-a");
  EXPECT_EQ(format("%3$@", 1, 2, 3), "3");
  EXPECT_EQ(format("%1$*2$d|", 7, 4), "   7|");
}

TEST(Format, MismatchesAndMissingArgumentsDoNotCrash) {
  EXPECT_EQ(format("%d", "text"), "text");
  EXPECT_EQ(format("%d", Value("v")), "v");
  EXPECT_EQ(format("%s", 42), "42");
  EXPECT_EQ(format("%s", Value::dictionary({{"k", 1}})), "{\n    k = 1;\n}");
  EXPECT_EQ(format("%x", 1.5), "1.5");
  EXPECT_EQ(format("%d", 2.9), "2");
  EXPECT_EQ(format("%d and %d", 1), "1 and ");
  EXPECT_EQ(format("%@|%s|%p", 1), "1||");
  EXPECT_EQ(format("%3$d", 1), "");
  EXPECT_EQ(format("%n", 1), "");  // never writes through an argument
  EXPECT_EQ(format("trailing %"), "trailing %");
  EXPECT_EQ(format("%5"), "%5");
  EXPECT_EQ(format("%K %y", 1), "%K %y");
  EXPECT_EQ(format("%999999999999d", 1).size(), std::size_t{1} << 16);  // width clamped
}

}  // namespace
}  // namespace platform

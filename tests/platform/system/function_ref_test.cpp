#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/system/function_ref.h"

namespace platform {
namespace {

int twice(int x) { return 2 * x; }

// Calls through the reference while the callable it names is still alive, as a receiving
// function does.
int callWith(FunctionRef<int(int)> f, int x) { return f ? f(x) : -1; }

TEST(FunctionRef, CallsLambdasFunctionsAndStdFunctionsWithoutCopyingThem) {
  int calls = 0;
  auto counting = [&calls](int x) {
    ++calls;
    return x + 1;
  };
  EXPECT_EQ(callWith(counting, 1), 2);
  EXPECT_EQ(callWith([](int x) { return x * x; }, 3), 9);
  EXPECT_EQ(callWith(twice, 4), 8);
  EXPECT_EQ(callWith(&twice, 5), 10);
  std::function<int(int)> held = [](int x) { return x - 1; };
  EXPECT_EQ(callWith(held, 6), 5);
  EXPECT_EQ(calls, 1);
  // A stateful callable is referred to, not copied: its state changes are seen by the caller.
  struct Counter {
    int seen = 0;
    int operator()(int x) { return seen += x; }
  } counter;
  callWith(counter, 2);
  callWith(counter, 3);
  EXPECT_EQ(counter.seen, 5);
  // Results convert to the signature's result; a void signature drops them.
  FunctionRef<std::string(const char*)> make = [](const char* s) { return s; };
  EXPECT_EQ(make("text"), "text");
  bool ran = false;
  auto setRan = [&] {
    ran = true;
    return 1;
  };
  FunctionRef<void()> drop = setRan;
  drop();
  EXPECT_TRUE(ran);
}

TEST(FunctionRef, EmptyStdFunctionsNullPointersAndNullptrMakeAnEmptyReference) {
  std::function<int(int)> empty;
  int (*none)(int) = nullptr;
  EXPECT_EQ(callWith(empty, 1), -1);
  EXPECT_EQ(callWith(none, 1), -1);
  EXPECT_EQ(callWith(nullptr, 1), -1);
  EXPECT_EQ(callWith({}, 1), -1);
  EXPECT_FALSE(FunctionRef<void()>());
}

}  // namespace
}  // namespace platform

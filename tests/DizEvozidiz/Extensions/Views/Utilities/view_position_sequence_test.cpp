// DizViewPositionSequence against a plain vector that holds the same values: the identity at the
// start, each operation alone, operations past the stored part, and long random runs.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/Views/Utilities/DizViewPositionSequenceInternal.h"

namespace {

// The same sequence kept the plain way: the first `stored.size()` values, then the identity shifted
// by `tail`.
struct Model {
  std::vector<std::uint64_t> stored;
  std::int64_t tail = 0;

  void extendTo(std::uint64_t n) {
    while (stored.size() < n)
      stored.push_back(static_cast<std::uint64_t>(tail + static_cast<std::int64_t>(stored.size())));
  }
  std::uint64_t valueAt(std::uint64_t p) const {
    return p < stored.size() ? stored[p] : static_cast<std::uint64_t>(tail + static_cast<std::int64_t>(p));
  }
  void insertAt(std::uint64_t q, std::uint64_t value) {
    extendTo(q);
    stored.insert(stored.begin() + static_cast<std::ptrdiff_t>(q), value);
    --tail;
  }
  void removeAt(std::uint64_t q) {
    extendTo(q + 1);
    stored.erase(stored.begin() + static_cast<std::ptrdiff_t>(q));
    ++tail;
  }
  void duplicateAt(std::uint64_t q) {
    extendTo(q + 1);
    insertAt(q + 1, stored[q]);
  }
};

enum class Op { Insert, Remove, Duplicate };
struct Step {
  Op op;
  std::uint64_t position;
  std::uint64_t value = 0;  // inserts only
};

void apply(const Step& step, DizViewPositionSequence& sequence, Model& model) {
  switch (step.op) {
    case Op::Insert:
      sequence.insertAt(step.position, step.value);
      model.insertAt(step.position, step.value);
      break;
    case Op::Remove:
      sequence.removeAt(step.position);
      model.removeAt(step.position);
      break;
    case Op::Duplicate:
      sequence.duplicateAt(step.position);
      model.duplicateAt(step.position);
      break;
  }
}

TEST(DizViewPositionSequence, StartsAsTheIdentity) {
  DizViewPositionSequence sequence;
  for (std::uint64_t p : std::vector<std::uint64_t>{0, 1, 2, 49, 1000000, std::uint64_t{1} << 40})
    EXPECT_EQ(sequence.valueAt(p), p) << p;
}

TEST(DizViewPositionSequence, EachOperationMatchesThePlainSequence) {
  struct Case {
    const char* label;
    std::vector<Step> steps;
    std::vector<std::uint64_t> expectedFirst;  // the values at positions 0, 1, ...
  };
  const std::vector<Case> cases = {
      {"insert at the front", {{Op::Insert, 0, 100}}, {100, 0, 1, 2}},
      {"insert in the middle", {{Op::Insert, 2, 100}}, {0, 1, 100, 2, 3}},
      {"insert far past the stored part", {{Op::Insert, 1000, 7}}, {0, 1, 2}},
      {"remove the front", {{Op::Remove, 0}}, {1, 2, 3}},
      {"remove in the middle", {{Op::Remove, 2}}, {0, 1, 3, 4}},
      {"remove twice at one place", {{Op::Remove, 1}, {Op::Remove, 1}}, {0, 3, 4, 5}},
      {"duplicate the front", {{Op::Duplicate, 0}}, {0, 0, 1, 2}},
      {"duplicate past the stored part", {{Op::Duplicate, 5}}, {0, 1, 2, 3, 4, 5, 5, 6}},
      {"insert then remove it", {{Op::Insert, 3, 100}, {Op::Remove, 3}}, {0, 1, 2, 3, 4}},
      {"remove then insert back", {{Op::Remove, 3}, {Op::Insert, 3, 3}}, {0, 1, 2, 3, 4}},
      {"a run cut in the middle",
       {{Op::Duplicate, 9}, {Op::Remove, 4}, {Op::Insert, 6, 50}},
       {0, 1, 2, 3, 5, 6, 50, 7, 8, 9, 9, 10}},
  };
  for (const auto& c : cases) {
    DizViewPositionSequence sequence;
    Model model;
    for (const auto& step : c.steps) apply(step, sequence, model);
    for (std::uint64_t p = 0; p < c.expectedFirst.size(); ++p)
      EXPECT_EQ(sequence.valueAt(p), c.expectedFirst[p]) << c.label << ", position " << p;
    for (std::uint64_t p = 0; p < 2000; ++p) ASSERT_EQ(sequence.valueAt(p), model.valueAt(p)) << c.label << ", " << p;
  }
}

TEST(DizViewPositionSequence, InsertFarPastTheStoredPartShiftsOnlyWhatFollows) {
  DizViewPositionSequence sequence;
  sequence.insertAt(1000, 7);
  EXPECT_EQ(sequence.valueAt(999), 999u);
  EXPECT_EQ(sequence.valueAt(1000), 7u);
  EXPECT_EQ(sequence.valueAt(1001), 1000u);
  EXPECT_EQ(sequence.valueAt(5000), 4999u);
}

TEST(DizViewPositionSequence, RandomRunsMatchThePlainSequence) {
  std::mt19937_64 random(20261211);
  for (int run = 0; run < 20; ++run) {
    DizViewPositionSequence sequence;
    Model model;
    const std::uint64_t span = 1 + random() % 300;  // positions touched mostly fall below this
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t position = random() % span;
      const int which = static_cast<int>(random() % 3);
      const Step step{which == 0 ? Op::Insert : which == 1 ? Op::Remove : Op::Duplicate, position, random() % 10000};
      apply(step, sequence, model);
      const std::uint64_t probe = random() % (span + 50);
      ASSERT_EQ(sequence.valueAt(probe), model.valueAt(probe)) << "run " << run << ", step " << i;
    }
    for (std::uint64_t p = 0; p < span + 2100; ++p)
      ASSERT_EQ(sequence.valueAt(p), model.valueAt(p)) << "run " << run << ", position " << p;
  }
}

// Many operations at one place: the tree stays shallow enough for its recursion and keeps the order.
TEST(DizViewPositionSequence, ManyInsertsAtTheFrontKeepTheirOrder) {
  DizViewPositionSequence sequence;
  constexpr std::uint64_t kCount = 200000;
  for (std::uint64_t i = 0; i < kCount; ++i) sequence.insertAt(0, kCount - 1 - i + (1ull << 32));
  for (std::uint64_t p : std::vector<std::uint64_t>{0, 1, kCount / 2, kCount - 1})
    EXPECT_EQ(sequence.valueAt(p), p + (1ull << 32)) << p;
  EXPECT_EQ(sequence.valueAt(kCount), 0u);
}

}  // namespace

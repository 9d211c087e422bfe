#pragma once

#ifndef ZORVEL_INTERNAL_store
#error \
    "DizEvozidiz/Extensions/Views/Utilities/DizViewPositionSequenceInternal.h is internal to the store and its extensions"
#endif

// DizViewPositionSequence: a sequence of unsigned values addressed by position, as an implicit treap
// of runs of consecutive values (start, start + 1, ...). Positions past the stored part hold
// `tail + position`, so a sequence starts as the identity (position p holds p) without storing
// anything, and a run is stored only where an operation touched it. Every operation costs O(log n)
// expected. The change-set replay keeps one per group, to follow where each original row went.
//
// Failure: none; positions are not checked against an end (there is none: the identity goes on).
// Threads: none of its own; a sequence is used by one thread at a time.

#include <cstdint>
#include <vector>

class DizViewPositionSequence {
 public:
  // The value at position p.
  std::uint64_t valueAt(std::uint64_t p) const;
  // The value lands at q; the values from q on move one place up.
  void insertAt(std::uint64_t q, std::uint64_t value);
  // The value at q goes; the values after it move one place down.
  void removeAt(std::uint64_t q);
  // The value at q appears twice (at q and q + 1); the values after it move one place up.
  void duplicateAt(std::uint64_t q);

 private:
  struct Node {
    std::uint64_t start;
    std::uint64_t length;
    std::uint64_t total;
    std::uint32_t priority;
    int left = -1;
    int right = -1;
  };

  std::uint64_t total(int t) const { return t < 0 ? 0 : nodes_[t].total; }
  void update(int t);
  std::uint32_t nextPriority();
  int newNode(std::uint64_t start, std::uint64_t length, std::uint32_t priority);
  // a: the first k positions of t; b: the rest. A run that straddles k is cut in two.
  void split(int t, std::uint64_t k, int& a, int& b);
  int merge(int a, int b);
  // Stores the implicit values of the positions below n.
  void extendTo(std::uint64_t n);

  std::vector<Node> nodes_;
  std::vector<int> free_;  // nodes no longer in the tree, for reuse
  int root_ = -1;
  std::uint64_t size_ = 0;
  std::int64_t tail_ = 0;  // size_ + tail_ never drops below 0
  std::uint64_t seed_ = 0x9E3779B97F4A7C15ull;
};

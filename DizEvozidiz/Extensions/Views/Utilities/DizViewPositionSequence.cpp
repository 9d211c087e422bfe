#include "DizEvozidiz/Extensions/Views/Utilities/DizViewPositionSequenceInternal.h"

std::uint64_t DizViewPositionSequence::valueAt(std::uint64_t p) const {
  if (p >= size_) return static_cast<std::uint64_t>(tail_ + static_cast<std::int64_t>(p));
  int t = root_;
  for (;;) {
    const Node& n = nodes_[t];
    const std::uint64_t left = total(n.left);
    if (p < left) {
      t = n.left;
    } else if (p < left + n.length) {
      return n.start + (p - left);
    } else {
      p -= left + n.length;
      t = n.right;
    }
  }
}

void DizViewPositionSequence::insertAt(std::uint64_t q, std::uint64_t value) {
  extendTo(q);
  int a, b;
  split(root_, q, a, b);
  root_ = merge(merge(a, newNode(value, 1, nextPriority())), b);
  ++size_;
  --tail_;
}

void DizViewPositionSequence::removeAt(std::uint64_t q) {
  extendTo(q + 1);
  int a, b, middle, c;
  split(root_, q, a, b);
  split(b, 1, middle, c);
  root_ = merge(a, c);
  free_.push_back(middle);  // a single node of length 1
  --size_;
  ++tail_;
}

void DizViewPositionSequence::duplicateAt(std::uint64_t q) {
  extendTo(q + 1);
  insertAt(q + 1, valueAt(q));
}

void DizViewPositionSequence::update(int t) {
  nodes_[t].total = total(nodes_[t].left) + nodes_[t].length + total(nodes_[t].right);
}

std::uint32_t DizViewPositionSequence::nextPriority() {
  seed_ ^= seed_ << 13;
  seed_ ^= seed_ >> 7;
  seed_ ^= seed_ << 17;
  return static_cast<std::uint32_t>(seed_ >> 16);
}

int DizViewPositionSequence::newNode(std::uint64_t start, std::uint64_t length, std::uint32_t priority) {
  if (!free_.empty()) {
    const int t = free_.back();
    free_.pop_back();
    nodes_[t] = Node{start, length, length, priority};
    return t;
  }
  nodes_.push_back(Node{start, length, length, priority});
  return static_cast<int>(nodes_.size() - 1);
}

void DizViewPositionSequence::split(int t, std::uint64_t k, int& a, int& b) {
  if (t < 0) {
    a = b = -1;
    return;
  }
  const std::uint64_t left = total(nodes_[t].left);
  if (k <= left) {
    int l;
    split(nodes_[t].left, k, a, l);
    nodes_[t].left = l;
    update(t);
    b = t;
  } else if (k >= left + nodes_[t].length) {
    int r;
    split(nodes_[t].right, k - left - nodes_[t].length, r, b);
    nodes_[t].right = r;
    update(t);
    a = t;
  } else {
    const std::uint64_t cut = k - left;
    const int m = newNode(nodes_[t].start + cut, nodes_[t].length - cut, nodes_[t].priority);
    nodes_[m].right = nodes_[t].right;
    update(m);
    nodes_[t].length = cut;
    nodes_[t].right = -1;
    update(t);
    a = t;
    b = m;
  }
}

int DizViewPositionSequence::merge(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  if (nodes_[a].priority > nodes_[b].priority) {
    const int r = merge(nodes_[a].right, b);
    nodes_[a].right = r;
    update(a);
    return a;
  }
  const int l = merge(a, nodes_[b].left);
  nodes_[b].left = l;
  update(b);
  return b;
}

void DizViewPositionSequence::extendTo(std::uint64_t n) {
  if (size_ >= n) return;
  const std::uint64_t start = static_cast<std::uint64_t>(tail_ + static_cast<std::int64_t>(size_));
  root_ = merge(root_, newNode(start, n - size_, nextPriority()));
  size_ = n;
}

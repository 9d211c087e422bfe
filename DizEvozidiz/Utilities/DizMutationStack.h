#pragma once

// Mutation stacks: let an enumeration notice that the database was written while it ran. The
// enumeration pushes an item and keeps it; every write marks the stack, which flags the top item
// and every item below it. Items hold the one below them (and their stack) strongly and the stack
// knows only the newest live item, so the live items form a chain from newest to oldest; a
// released item leaves the stack's top when it is the top.
//
// DizMutationStack_Bool flags "something changed"; DizMutationStack_Set records what changed.
// Belongs to one connection: use on its queue only; no locks.

#include <memory>
#include <unordered_set>

#include "platform/runtime/value.h"

template <class ItemData>
class DizMutationStack : public std::enable_shared_from_this<DizMutationStack<ItemData>> {
 public:
  class Item : public ItemData, public std::enable_shared_from_this<Item> {
   public:
    Item(std::shared_ptr<DizMutationStack> parent, std::shared_ptr<Item> below)
        : parent_(std::move(parent)), below_(std::move(below)) {}
    ~Item() { parent_->pop(this); }
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

   private:
    friend class DizMutationStack;
    std::shared_ptr<DizMutationStack> parent_;
    std::shared_ptr<Item> below_;
  };

  static std::shared_ptr<DizMutationStack> make() { return std::shared_ptr<DizMutationStack>(new DizMutationStack()); }

  // A new item on top; the caller keeps it while it enumerates.
  std::shared_ptr<Item> push() {
    std::shared_ptr<Item> below = top_ ? top_->shared_from_this() : nullptr;
    auto item = std::make_shared<Item>(this->shared_from_this(), std::move(below));
    top_ = item.get();
    return item;
  }

  // Applies `mark` to the top item and every item below it.
  template <class Mark>
  void markEach(Mark&& mark) {
    for (Item* item = top_; item; item = item->below_.get()) mark(static_cast<ItemData&>(*item));
  }

  // Forgets the top: items still held keep their flags but are no longer marked.
  void clear() { top_ = nullptr; }

  // Called by a released item: when it is the top, the item below becomes the top.
  void pop(Item* item) {
    if (top_ == item) top_ = item->below_.get();
  }

 private:
  DizMutationStack() = default;
  Item* top_ = nullptr;  // the newest live item; not owning
};

struct DizMutationStackBoolData {
  bool isMutated() const { return mutated; }
  bool mutated = false;
};

struct DizMutationStackSetData {
  bool isMutated(const platform::Value& object) const { return set.contains(object); }
  std::unordered_set<platform::Value, platform::ValueHash> set;
};

class DizMutationStack_Bool {
 public:
  using Item = DizMutationStack<DizMutationStackBoolData>::Item;

  DizMutationStack_Bool() : stack_(DizMutationStack<DizMutationStackBoolData>::make()) {}
  std::shared_ptr<Item> push() { return stack_->push(); }
  void markAsMutated() {
    stack_->markEach([](DizMutationStackBoolData& d) { d.mutated = true; });
  }
  void clear() { stack_->clear(); }

 private:
  std::shared_ptr<DizMutationStack<DizMutationStackBoolData>> stack_;
};

class DizMutationStack_Set {
 public:
  using Item = DizMutationStack<DizMutationStackSetData>::Item;

  DizMutationStack_Set() : stack_(DizMutationStack<DizMutationStackSetData>::make()) {}
  std::shared_ptr<Item> push() { return stack_->push(); }
  void markAsMutated(const platform::Value& object) {
    stack_->markEach([&](DizMutationStackSetData& d) { d.set.insert(object); });
  }
  void clear() { stack_->clear(); }

 private:
  std::shared_ptr<DizMutationStack<DizMutationStackSetData>> stack_;
};

#pragma once

// Disposables: things that end something (a subscription, a scheduled action, a registration)
// exactly once. Every subscription and every scheduled action hands one back.
//
// - RFDisposable: runs its block (if any) on the first dispose(); later calls do nothing.
// - RFCompoundDisposable: owns a set of disposables and disposes them all, in order of addition,
//   when it is disposed; anything added afterwards is disposed on arrival.
// - RFSerialDisposable: holds one disposable at a time, replaced by the next; anything put in
//   after it was disposed is disposed on arrival.
// - RFScopedDisposable: disposes itself when its last reference goes.
//
// All of them may be used from any thread. The compound and serial disposables guard their
// fields with a spin lock held only for a few stores; they never dispose, add to or remove from
// another disposable while holding it, so disposal cascades cannot deadlock.

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/thread.h"

class RFDisposable;
class RFCompoundDisposable;
class RFSerialDisposable;
class RFScopedDisposable;
using RFDisposablePtr = std::shared_ptr<RFDisposable>;
using RFCompoundDisposablePtr = std::shared_ptr<RFCompoundDisposable>;
using RFSerialDisposablePtr = std::shared_ptr<RFSerialDisposable>;
using RFScopedDisposablePtr = std::shared_ptr<RFScopedDisposable>;

class RFDisposable : public platform::Object {
  ZORVEL_CLASS(RFDisposable, platform::Object)

 public:
  // A disposable without a block: it only records that it was disposed.
  static RFDisposablePtr disposable();
  // The block runs once, on the thread whose dispose() comes first. An empty block gives a
  // disposable that is disposed from birth.
  static RFDisposablePtr disposableWithBlock(std::function<void()> block);

  virtual bool isDisposed() const;
  virtual void dispose();
  // A scoped disposable that disposes this one when it goes away.
  virtual RFScopedDisposablePtr asScopedDisposable();

 protected:
  RFDisposable() = default;
  explicit RFDisposable(std::function<void()> block);

 private:
  std::atomic<bool> disposed_{false};
  std::function<void()> block_;  // touched only by the thread that wins the dispose
};

class RFCompoundDisposable : public RFDisposable {
  ZORVEL_CLASS(RFCompoundDisposable, RFDisposable)

 public:
  static RFCompoundDisposablePtr compoundDisposable();
  static RFCompoundDisposablePtr compoundDisposableWithDisposables(std::vector<RFDisposablePtr> disposables);
  // A compound holding one block disposable.
  static RFCompoundDisposablePtr compoundDisposableWithBlock(std::function<void()> block);

  bool isDisposed() const final { return disposed_.load(std::memory_order_acquire); }
  // Null and already-disposed disposables are ignored; once this compound is disposed, an added
  // disposable is disposed at once instead of being kept. The same disposable may be added twice.
  void addDisposable(const RFDisposablePtr& disposable);
  // Removes every entry that is this very disposable (by identity) without disposing it.
  void removeDisposable(const RFDisposable* disposable);
  void dispose() override;

 protected:
  RFCompoundDisposable() = default;

 private:
  long countLocked() const;

  mutable platform::SpinLock lock_;
  std::atomic<bool> disposed_{false};
  // Most compounds hold one or two children: those need no allocation.
  RFDisposablePtr slots_[2];
  std::unique_ptr<std::vector<RFDisposablePtr>> more_;
};

class RFSerialDisposable : public RFDisposable {
  ZORVEL_CLASS(RFSerialDisposable, RFDisposable)

 public:
  static RFSerialDisposablePtr serialDisposable();
  static RFSerialDisposablePtr serialDisposableWithDisposable(RFDisposablePtr disposable);
  static RFSerialDisposablePtr serialDisposableWithBlock(std::function<void()> block);

  RFDisposablePtr disposable() const;
  // Holds the new disposable; the replaced one is dropped without being disposed.
  void setDisposable(RFDisposablePtr disposable);
  // Holds the new disposable and returns the replaced one (not disposed). When this serial
  // disposable is already disposed, disposes the new one and returns null.
  RFDisposablePtr swapInDisposable(RFDisposablePtr disposable);

  bool isDisposed() const final { return disposed_.load(std::memory_order_acquire); }
  void dispose() override;

 protected:
  RFSerialDisposable() = default;

 private:
  mutable platform::SpinLock lock_;
  std::atomic<bool> disposed_{false};
  RFDisposablePtr disposable_;
};

class RFScopedDisposable : public RFDisposable {
  ZORVEL_CLASS(RFScopedDisposable, RFDisposable)

 public:
  // Disposes `disposable` when the scoped disposable is disposed or goes away.
  static RFScopedDisposablePtr scopedDisposableWithDisposable(RFDisposablePtr disposable);
  ~RFScopedDisposable() override;
  RFScopedDisposablePtr asScopedDisposable() override;

 protected:
  RFScopedDisposable() = default;
  explicit RFScopedDisposable(std::function<void()> block) : RFDisposable(std::move(block)) {}
};

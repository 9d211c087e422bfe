#pragma once

// The review-request panel: the review manager's title and message, and three answers — write a
// review, remind me later, no thanks — each drawn in its own colour, centred, in the font the
// layout file gives. A press sends the answer to the delegate; performAction() is what the main
// view does with it (the review manager records it, "write" also opens the review page).
//
// Only one panel is shown at a time: while one is shown, present() shows no other.
//
// Failure: performAction() answers false when the review manager could not record the answer.
// Threads: main thread only.

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/review/ZRVReviewManager.h"
#include "platform/runtime/object.h"

enum ZRVReviewAction : std::uint64_t {
  ZRVReviewActionWrite = 0,
  ZRVReviewActionRemind = 1,
  ZRVReviewActionNo = 2,
};

class ZRVReviewViewController : public platform::Object {
  ZORVEL_CLASS(ZRVReviewViewController, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVReviewViewController>;
  using Delegate = std::function<void(ZRVReviewViewController&, ZRVReviewAction)>;
  using OpenURL = std::function<void(const std::string& url)>;

  // A panel (not shown); null when the layout file does not build.
  static Ptr create(Delegate delegate);
  ~ZRVReviewViewController() override;

  // Shows a new panel in a window of its own over `parent`, unless a panel is already shown; then
  // null. The panel's window closes after any answer.
  static Ptr present(GtkWindow* parent, Delegate delegate);
  // Whether a panel is shown now.
  static bool isAnyShown();

  GtkWidget* view() const { return view_; }
  GtkWindow* window() const { return window_; }
  GtkWidget* outlet(const char* name) const { return GTK_WIDGET(gtk_builder_get_object(builder_, name)); }
  // The label that shows a button's title.
  GtkLabel* titleLabelOf(const char* button) const;

  void writeButtonDidPressed() { send(ZRVReviewActionWrite); }
  void remindButtonDidPressed() { send(ZRVReviewActionRemind); }
  void noButtonDidPressed() { send(ZRVReviewActionNo); }
  void close();

  // What an answer does: recorded by the review manager, reported to analytics, and "write" opens
  // the review page and posts "close_main_window_notification".
  [[nodiscard]] static bool performAction(ZRVReviewManager& manager, ZRVReviewAction action, const OpenURL& openURL);

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVReviewViewController(Key, Delegate delegate);

 private:
  void send(ZRVReviewAction action);

  Delegate delegate_;
  GtkBuilder* builder_ = nullptr;
  GtkWidget* view_ = nullptr;
  GtkWindow* window_ = nullptr;
};

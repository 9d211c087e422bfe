#pragma once

// The layout constraint language: chained expressions that lay out views (platform::View, GTK 4
// widgets) by constraints solved by GTK's constraint layout.
//
//   ly_makeConstraints(avatar, [&](LYConstraintMaker& make) {
//     make.left().equalTo(container).offset(10).priorityHigh();
//     make.size().ly_equalTo(platform::Size{48, 48});
//   });
//
// LYViewAttribute names one layout attribute of one view: the side a constraint relates to.
// Immutable once made.
//
// Threads: the language works on views and so runs on the main thread only; nothing is locked.

#include <cstdint>
#include <memory>

#include "platform/interface/layout_constraint.h"
#include "platform/interface/view.h"
#include "platform/runtime/object.h"

class LYViewAttribute;
using LYViewAttributePtr = std::shared_ptr<LYViewAttribute>;

class LYViewAttribute : public platform::Object {
  ZORVEL_CLASS(LYViewAttribute, platform::Object)
 public:
  // The view as its own item.
  static LYViewAttributePtr initWithView(const platform::ViewPtr& view, std::int64_t layoutAttribute);
  static LYViewAttributePtr initWithView(const platform::ViewPtr& view, const platform::ViewPtr& item,
                                         std::int64_t layoutAttribute);

  // Held weakly: nullptr once the view is gone.
  platform::ViewPtr view() const { return view_.lock(); }
  platform::ViewPtr item() const { return item_.lock(); }
  std::int64_t layoutAttribute() const { return layoutAttribute_; }

  // Width or height.
  bool isSizeAttribute() const;

  // Equal to another view attribute naming the very same view and the same attribute (the item
  // is not compared); any other object only to itself.
  bool isEqual(const platform::Object& other) const override;
  // The view's hash with its halves swapped, exclusive-or the attribute.
  std::size_t hash() const override;

 private:
  LYViewAttribute(const platform::ViewPtr& view, const platform::ViewPtr& item, std::int64_t layoutAttribute);

  std::weak_ptr<platform::View> view_;  // compared by owner: the same view even once gone
  std::weak_ptr<platform::View> item_;
  std::size_t viewHash_;
  std::int64_t layoutAttribute_;
};

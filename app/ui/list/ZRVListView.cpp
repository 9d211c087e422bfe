#include "app/ui/list/ZRVListView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

struct ZRVListView::Row {
  std::string identifier;
  double height = 0;
  double y = 0;      // where the row is after the last change
  double fromY = 0;  // where the running animation moves it from
  bool appearing = false;
  bool needsLoad = true;
  ZRVListItemPtr item;
};

struct ZRVListView::Section {
  std::vector<std::shared_ptr<Row>> rows;
  double headerHeight = 0;
  double headerY = 0;
  double headerFromY = 0;
  bool headerAppearing = false;
  ZRVListItemPtr header;
};

// ---- The GTK widget ----------------------------------------------------------------------------------

extern "C" {
typedef struct {
  GtkWidget parent_instance;
  ZRVListView* owner;  // cleared when the owner goes
  GtkAdjustment* hadjustment;
  GtkAdjustment* vadjustment;
  guint hscrollPolicy;
  guint vscrollPolicy;
} ZrvListWidget;

typedef struct {
  GtkWidgetClass parent_class;
} ZrvListWidgetClass;
}

static GType zrv_list_widget_get_type();

G_DEFINE_TYPE_WITH_CODE(ZrvListWidget, zrv_list_widget, GTK_TYPE_WIDGET,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_SCROLLABLE, nullptr))

namespace {

enum { kPropHAdjustment = 1, kPropVAdjustment, kPropHScrollPolicy, kPropVScrollPolicy };

ZrvListWidget* listWidget(gpointer p) { return reinterpret_cast<ZrvListWidget*>(p); }

}  // namespace

// What the widget's class functions call on the list.
struct ZRVListView::Glue {
  static void adjustmentChanged(ZrvListWidget* self) {
    if (self->owner) self->owner->setAdjustment(self->vadjustment);
  }
  static void allocate(ZrvListWidget* self, int width, int height) {
    if (self->owner) self->owner->allocate(width, height);
  }
  static double contentHeight(ZrvListWidget* self) { return self->owner ? self->owner->contentHeight() : 0; }
};

static void zrv_list_widget_set_adjustment(ZrvListWidget* self, GtkAdjustment** slot, GtkAdjustment* adjustment) {
  if (!adjustment) adjustment = gtk_adjustment_new(0, 0, 0, 0, 0, 0);
  if (*slot == adjustment) return;
  if (*slot) g_object_unref(*slot);
  *slot = GTK_ADJUSTMENT(g_object_ref_sink(adjustment));
  if (slot == &self->vadjustment) ZRVListView::Glue::adjustmentChanged(self);
  gtk_widget_queue_allocate(GTK_WIDGET(self));
}

static void zrv_list_widget_set_property(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
  ZrvListWidget* self = listWidget(object);
  switch (id) {
    case kPropHAdjustment:
      zrv_list_widget_set_adjustment(self, &self->hadjustment, GTK_ADJUSTMENT(g_value_get_object(value)));
      break;
    case kPropVAdjustment:
      zrv_list_widget_set_adjustment(self, &self->vadjustment, GTK_ADJUSTMENT(g_value_get_object(value)));
      break;
    case kPropHScrollPolicy:
      self->hscrollPolicy = g_value_get_enum(value);
      break;
    case kPropVScrollPolicy:
      self->vscrollPolicy = g_value_get_enum(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }
}

static void zrv_list_widget_get_property(GObject* object, guint id, GValue* value, GParamSpec* spec) {
  ZrvListWidget* self = listWidget(object);
  switch (id) {
    case kPropHAdjustment:
      g_value_set_object(value, self->hadjustment);
      break;
    case kPropVAdjustment:
      g_value_set_object(value, self->vadjustment);
      break;
    case kPropHScrollPolicy:
      g_value_set_enum(value, static_cast<gint>(self->hscrollPolicy));
      break;
    case kPropVScrollPolicy:
      g_value_set_enum(value, static_cast<gint>(self->vscrollPolicy));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }
}

static void zrv_list_widget_dispose(GObject* object) {
  GtkWidget* widget = GTK_WIDGET(object);
  while (GtkWidget* child = gtk_widget_get_first_child(widget)) gtk_widget_unparent(child);
  ZrvListWidget* self = listWidget(object);
  g_clear_object(&self->hadjustment);
  g_clear_object(&self->vadjustment);
  G_OBJECT_CLASS(zrv_list_widget_parent_class)->dispose(object);
}

static void zrv_list_widget_measure(GtkWidget* widget, GtkOrientation orientation, int, int* minimum, int* natural,
                                    int*, int*) {
  *minimum = 0;
  *natural = orientation == GTK_ORIENTATION_VERTICAL
                 ? static_cast<int>(std::ceil(ZRVListView::Glue::contentHeight(listWidget(widget))))
                 : 0;
}

static void zrv_list_widget_size_allocate(GtkWidget* widget, int width, int height, int) {
  ZRVListView::Glue::allocate(listWidget(widget), width, height);
}

static void zrv_list_widget_class_init(ZrvListWidgetClass* cls) {
  GObjectClass* object = G_OBJECT_CLASS(cls);
  object->set_property = zrv_list_widget_set_property;
  object->get_property = zrv_list_widget_get_property;
  object->dispose = zrv_list_widget_dispose;
  g_object_class_override_property(object, kPropHAdjustment, "hadjustment");
  g_object_class_override_property(object, kPropVAdjustment, "vadjustment");
  g_object_class_override_property(object, kPropHScrollPolicy, "hscroll-policy");
  g_object_class_override_property(object, kPropVScrollPolicy, "vscroll-policy");
  GtkWidgetClass* widget = GTK_WIDGET_CLASS(cls);
  widget->measure = zrv_list_widget_measure;
  widget->size_allocate = zrv_list_widget_size_allocate;
  gtk_widget_class_set_css_name(widget, "zrvlist");
}

static void zrv_list_widget_init(ZrvListWidget* self) {
  gtk_widget_set_overflow(GTK_WIDGET(self), GTK_OVERFLOW_HIDDEN);
  self->hscrollPolicy = GTK_SCROLL_MINIMUM;
  self->vscrollPolicy = GTK_SCROLL_MINIMUM;
}

// ---- The list ----------------------------------------------------------------------------------------

ZRVListViewPtr ZRVListView::make() { return platform::make<ZRVListView>(); }

ZRVListView::ZRVListView() {
  GtkWidget* widget = GTK_WIDGET(g_object_new(zrv_list_widget_get_type(), nullptr));
  view_ = platform::View::forWidget(widget);
  ZrvListWidget* self = listWidget(widget);
  self->owner = this;
  zrv_list_widget_set_adjustment(self, &self->hadjustment, nullptr);
  zrv_list_widget_set_adjustment(self, &self->vadjustment, nullptr);
}

ZRVListView::~ZRVListView() {
  if (animation_) animation_->cancel();
  if (vadjustment_ && valueHandler_) g_signal_handler_disconnect(vadjustment_, valueHandler_);
  if (vadjustment_) g_object_unref(vadjustment_);
  listWidget(view_->widget())->owner = nullptr;
}

void ZRVListView::setDataSource(std::weak_ptr<ZRVListDataSource> dataSource) { dataSource_ = std::move(dataSource); }

void ZRVListView::registerItem(const std::string& identifier, ItemFactory factory) {
  factories_[identifier] = std::move(factory);
}

ZRVListItemPtr ZRVListView::makeItem(const std::string& identifier, ZRVIndexPath) {
  auto& pool = pool_[identifier];
  if (!pool.empty()) {
    ZRVListItemPtr item = std::move(pool.back());
    pool.pop_back();
    item->prepareForReuse();
    return item;
  }
  auto factory = factories_.find(identifier);
  if (factory == factories_.end() || !factory->second) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("The list has no item registered as \"%s\"", identifier.c_str()));
    return nullptr;
  }
  ZRVListItemPtr item = factory->second();
  if (!item || !item->view()) {
    ZORVEL_DIAGNOSTIC_ERROR(
        platform::format("The item factory of \"%s\" made no item with a view", identifier.c_str()));
    return nullptr;
  }
  item->reuseIdentifier_ = identifier;
  GtkWidget* widget = item->view()->widget();
  gtk_widget_set_child_visible(widget, FALSE);
  gtk_widget_set_parent(widget, view_->widget());
  return item;
}

ZRVListItemPtr ZRVListView::makeHeader(const std::string& identifier, std::size_t section) {
  return makeItem(identifier, ZRVIndexPath{section, 0});
}

std::size_t ZRVListView::numberOfSections() const { return sections_.size(); }

std::size_t ZRVListView::numberOfItemsInSection(std::size_t section) const {
  return section < sections_.size() ? sections_[section].rows.size() : 0;
}

std::string ZRVListView::identifierAt(ZRVIndexPath ip) const {
  if (ip.section >= sections_.size() || ip.item >= sections_[ip.section].rows.size()) return {};
  return sections_[ip.section].rows[ip.item]->identifier;
}

double ZRVListView::heightAt(ZRVIndexPath ip) const {
  if (ip.section >= sections_.size() || ip.item >= sections_[ip.section].rows.size()) return 0;
  return sections_[ip.section].rows[ip.item]->height;
}

std::optional<platform::Rect> ZRVListView::frameForItem(ZRVIndexPath ip) const {
  if (ip.section >= sections_.size() || ip.item >= sections_[ip.section].rows.size()) return std::nullopt;
  const Row& row = *sections_[ip.section].rows[ip.item];
  return platform::Rect{{0, row.y}, {itemWidth(), row.height}};
}

double ZRVListView::itemWidth() const { return width_; }

void ZRVListView::loadRow(Row& row, ZRVIndexPath ip) {
  auto dataSource = dataSource_.lock();
  row.identifier = dataSource ? dataSource->itemIdentifier(*this, ip) : std::string();
  row.height = dataSource ? std::max(0.0, dataSource->itemHeight(*this, ip)) : 0;
  row.needsLoad = false;
}

void ZRVListView::layoutRows() {
  auto dataSource = dataSource_.lock();
  double y = 0;
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    Section& section = sections_[s];
    section.headerHeight = dataSource ? std::max(0.0, dataSource->headerHeight(*this, s)) : 0;
    section.headerY = y;
    y += section.headerHeight;
    for (auto& row : section.rows) {
      row->y = y;
      y += row->height + kLineSpacing;
    }
  }
  contentHeight_ = y;
}

void ZRVListView::poolItem(const ZRVListItemPtr& item) {
  if (!item) return;
  GtkWidget* widget = item->view()->widget();
  gtk_widget_set_child_visible(widget, FALSE);
  gtk_widget_set_opacity(widget, 1);
  pool_[item->reuseIdentifier()].push_back(item);
}

void ZRVListView::showItem(const ZRVListItemPtr& item) {
  GtkWidget* widget = item->view()->widget();
  if (gtk_widget_get_parent(widget) != view_->widget()) {
    if (gtk_widget_get_parent(widget)) gtk_widget_unparent(widget);
    gtk_widget_set_parent(widget, view_->widget());
  }
  gtk_widget_set_child_visible(widget, TRUE);
}

void ZRVListView::retireItem(const std::shared_ptr<Row>& row, ZRVIndexPath ip) {
  ZRVListItemPtr item = std::move(row->item);
  row->item = nullptr;
  if (!item) return;
  if (auto dataSource = dataSource_.lock()) dataSource->didEndDisplayingItem(*this, *item, ip);
  poolItem(item);
}

void ZRVListView::finishAnimations() {
  if (auto animation = animation_) animation->finish();
}

void ZRVListView::reloadData() {
  finishAnimations();
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    Section& section = sections_[s];
    for (std::size_t i = 0; i < section.rows.size(); ++i) retireItem(section.rows[i], {s, i});
    poolItem(section.header);
    section.header = nullptr;
  }
  sections_.clear();
  if (auto dataSource = dataSource_.lock()) {
    const std::size_t count = dataSource->numberOfSections(*this);
    sections_.resize(count);
    for (std::size_t s = 0; s < count; ++s) {
      const std::size_t rows = dataSource->numberOfItemsInSection(*this, s);
      sections_[s].rows.reserve(rows);
      for (std::size_t i = 0; i < rows; ++i) {
        auto row = std::make_shared<Row>();
        loadRow(*row, {s, i});
        sections_[s].rows.push_back(std::move(row));
      }
    }
  }
  layoutRows();
  for (auto& section : sections_) {
    section.headerFromY = section.headerY;
    for (auto& row : section.rows) row->fromY = row->y;
  }
  progress_ = 1;
  updateVisibleItems();
  gtk_widget_queue_resize(view_->widget());
}

std::optional<std::vector<ZRVListView::Section>> ZRVListView::applyBatch(const ZRVListBatch& batch) {
  const std::vector<Section>& old = sections_;
  auto exists = [&old](ZRVIndexPath ip) { return ip.section < old.size() && ip.item < old[ip.section].rows.size(); };
  for (std::size_t s : batch.deletedSections_)
    if (s >= old.size()) return std::nullopt;
  for (const auto& ip : batch.deletedItems_)
    if (!exists(ip)) return std::nullopt;
  for (const auto& ip : batch.reloadedItems_)
    if (!exists(ip)) return std::nullopt;
  std::set<ZRVIndexPath> moveSources;
  for (const auto& [from, to] : batch.moves_) {
    if (!exists(from) || !moveSources.insert(from).second) return std::nullopt;
  }

  // The sections that stay, without the rows that leave them.
  std::vector<Section> survivors;
  for (std::size_t s = 0; s < old.size(); ++s) {
    if (batch.deletedSections_.count(s)) continue;
    Section section;
    section.header = old[s].header;
    section.headerY = old[s].headerY;
    for (std::size_t i = 0; i < old[s].rows.size(); ++i) {
      const ZRVIndexPath ip{s, i};
      if (batch.deletedItems_.count(ip) || moveSources.count(ip)) continue;
      section.rows.push_back(old[s].rows[i]);
    }
    survivors.push_back(std::move(section));
  }
  const std::size_t newCount = survivors.size() + batch.insertedSections_.size();
  std::vector<Section> result;
  result.reserve(newCount);
  std::size_t next = 0;
  for (std::size_t n = 0; n < newCount; ++n) {
    if (batch.insertedSections_.count(n)) {
      result.emplace_back();
      result.back().headerAppearing = true;
    } else {
      result.push_back(std::move(survivors[next++]));
    }
  }
  if (next != survivors.size()) return std::nullopt;  // an inserted section beyond the end

  // Rows arriving, in ascending order of their new positions.
  std::map<ZRVIndexPath, std::shared_ptr<Row>> arrivals;
  for (const auto& ip : batch.insertedItems_) {
    auto row = std::make_shared<Row>();
    row->appearing = true;
    arrivals[ip] = std::move(row);
  }
  for (const auto& [from, to] : batch.moves_) {
    if (!arrivals.emplace(to, old[from.section].rows[from.item]).second) return std::nullopt;
  }
  for (auto& [ip, row] : arrivals) {
    if (ip.section >= result.size() || ip.item > result[ip.section].rows.size()) return std::nullopt;
    auto& rows = result[ip.section].rows;
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(ip.item), row);
  }

  // The result must be what the data source now has.
  auto dataSource = dataSource_.lock();
  if (!dataSource || dataSource->numberOfSections(*this) != result.size()) return std::nullopt;
  for (std::size_t s = 0; s < result.size(); ++s)
    if (dataSource->numberOfItemsInSection(*this, s) != result[s].rows.size()) return std::nullopt;
  return result;
}

void ZRVListView::performBatchUpdates(const std::function<void(ZRVListBatch&)>& updates,
                                      std::function<void(bool)> completion) {
  finishAnimations();
  ZRVListBatch batch;
  if (updates) updates(batch);
  std::optional<std::vector<Section>> result = applyBatch(batch);
  if (!result) {
    ZORVEL_DIAGNOSTIC_ERROR(
        "The list's batch update does not match its data source (positions that do not exist, or counts that "
        "differ afterwards); the list reloads its data instead");
    reloadData();
    if (completion) platform::DispatchQueue::main()->async([completion] { completion(false); });
    return;
  }

  // Side effects, now that the batch holds: items of rows that leave fade out where they are;
  // reloaded and moved rows give their items back and are asked for again.
  const std::vector<Section>& old = sections_;
  disappearing_.clear();
  auto leave = [this](const std::shared_ptr<Row>& row, ZRVIndexPath ip) {
    if (!row->item) return;
    disappearing_.push_back({std::move(row->item), ip, row->y, row->height});
    row->item = nullptr;
  };
  for (std::size_t s = 0; s < old.size(); ++s) {
    const bool sectionGoes = batch.deletedSections_.count(s) != 0;
    if (sectionGoes && old[s].header) {
      disappearing_.push_back({old[s].header, {s, 0}, old[s].headerY, old[s].headerHeight});
    }
    for (std::size_t i = 0; i < old[s].rows.size(); ++i) {
      const ZRVIndexPath ip{s, i};
      if (sectionGoes || batch.deletedItems_.count(ip)) leave(old[s].rows[i], ip);
    }
  }
  for (const auto& ip : batch.reloadedItems_) {
    if (batch.deletedSections_.count(ip.section) || batch.deletedItems_.count(ip)) continue;
    const auto& row = old[ip.section].rows[ip.item];
    retireItem(row, ip);
    row->needsLoad = true;
  }
  for (const auto& [from, to] : batch.moves_) {
    const auto& row = old[from.section].rows[from.item];
    retireItem(row, from);
    row->needsLoad = true;
  }

  sections_ = std::move(*result);
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    Section& section = sections_[s];
    section.headerFromY = section.headerY;
    for (std::size_t i = 0; i < section.rows.size(); ++i) {
      Row& row = *section.rows[i];
      if (row.needsLoad) loadRow(row, {s, i});
      row.fromY = row.y;
    }
  }
  layoutRows();
  for (auto& section : sections_) {
    if (section.headerAppearing) section.headerFromY = section.headerY;
    for (auto& row : section.rows)
      if (row->appearing) row->fromY = row->y;
  }
  // A header that stays where it was drawn slides too; one whose section is new fades in.
  progress_ = 0;
  updateVisibleItems();
  gtk_widget_queue_resize(view_->widget());

  std::weak_ptr<ZRVListView> weak = std::static_pointer_cast<ZRVListView>(shared_from_this());
  animation_ = ZRVAnimator::animate(
      view_->widget(), kAnimationDuration,
      [weak](double progress) {
        if (auto self = weak.lock()) {
          self->progress_ = progress;
          gtk_widget_queue_allocate(self->view_->widget());
        }
      },
      [weak, completion = std::move(completion)](bool finished) {
        if (auto self = weak.lock()) {
          self->animation_ = nullptr;
          self->progress_ = 1;
          std::vector<Disappearing> gone = std::move(self->disappearing_);
          self->disappearing_.clear();
          auto dataSource = self->dataSource_.lock();
          for (auto& d : gone) {
            if (dataSource) dataSource->didEndDisplayingItem(*self, *d.item, d.indexPath);
            self->poolItem(d.item);
          }
          for (auto& section : self->sections_) {
            section.headerAppearing = false;
            for (auto& row : section.rows) row->appearing = false;
          }
          self->updateVisibleItems();
          gtk_widget_queue_allocate(self->view_->widget());
        }
        if (completion) completion(finished);
      });
}

void ZRVListView::updateVisibleItems() {
  if (updating_) return;
  updating_ = true;
  auto dataSource = dataSource_.lock();
  const double top = (vadjustment_ ? gtk_adjustment_get_value(vadjustment_) : 0) - kVisibleMargin;
  const double bottom = top + height_ + 2 * kVisibleMargin;
  const bool anyRoom = height_ > 0;
  auto visible = [&](double y, double fromY, double height) {
    auto inside = [&](double at) { return at + height >= top && at <= bottom; };
    return anyRoom && (inside(y) || inside(fromY));
  };
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    Section& section = sections_[s];
    const bool headerShown =
        section.headerHeight > 0 && visible(section.headerY, section.headerFromY, section.headerHeight);
    if (headerShown && !section.header && dataSource) {
      section.header = dataSource->headerForSection(*this, s);
      if (section.header) showItem(section.header);
    } else if (!headerShown && section.header) {
      poolItem(section.header);
      section.header = nullptr;
    }
    for (std::size_t i = 0; i < section.rows.size(); ++i) {
      const auto& row = section.rows[i];
      const bool shown = visible(row->y, row->fromY, row->height);
      if (shown && !row->item && dataSource) {
        row->item = dataSource->itemForIndexPath(*this, {s, i});
        if (row->item) showItem(row->item);
      } else if (!shown && row->item) {
        retireItem(row, {s, i});
      }
    }
  }
  updating_ = false;
  gtk_widget_queue_allocate(view_->widget());
}

std::vector<ZRVListItemPtr> ZRVListView::visibleItems() const {
  std::vector<ZRVListItemPtr> items;
  for (const auto& section : sections_)
    for (const auto& row : section.rows)
      if (row->item) items.push_back(row->item);
  return items;
}

ZRVListItemPtr ZRVListView::itemAtIndexPath(ZRVIndexPath ip) const {
  if (ip.section >= sections_.size() || ip.item >= sections_[ip.section].rows.size()) return nullptr;
  return sections_[ip.section].rows[ip.item]->item;
}

std::optional<ZRVIndexPath> ZRVListView::indexPathForItem(const ZRVListItem& item) const {
  for (std::size_t s = 0; s < sections_.size(); ++s)
    for (std::size_t i = 0; i < sections_[s].rows.size(); ++i)
      if (sections_[s].rows[i]->item.get() == &item) return ZRVIndexPath{s, i};
  return std::nullopt;
}

ZRVListItemPtr ZRVListView::headerForSection(std::size_t section) const {
  return section < sections_.size() ? sections_[section].header : nullptr;
}

void ZRVListView::scrollToItem(ZRVIndexPath ip) {
  auto frame = frameForItem(ip);
  if (!frame || !vadjustment_) return;
  const double maxValue = std::max(0.0, contentHeight_ - height_);
  gtk_adjustment_set_value(vadjustment_, std::clamp(frame->origin.y, 0.0, maxValue));
}

void ZRVListView::setAdjustment(GtkAdjustment* adjustment) {
  if (vadjustment_ == adjustment) return;
  if (vadjustment_) {
    if (valueHandler_) g_signal_handler_disconnect(vadjustment_, valueHandler_);
    g_object_unref(vadjustment_);
  }
  vadjustment_ = GTK_ADJUSTMENT(g_object_ref(adjustment));
  valueHandler_ =
      g_signal_connect_swapped(adjustment, "value-changed",
                               G_CALLBACK(+[](gpointer data) { static_cast<ZRVListView*>(data)->scrolled(); }), this);
}

void ZRVListView::scrolled() { updateVisibleItems(); }

void ZRVListView::allocate(int width, int height) {
  const bool resized = width != width_ || height != height_;
  width_ = width;
  height_ = height;
  ZrvListWidget* self = listWidget(view_->widget());
  if (self->hadjustment) gtk_adjustment_configure(self->hadjustment, 0, 0, width, width * 0.1, width * 0.9, width);
  if (vadjustment_) {
    const double upper = std::max<double>(contentHeight_, height);
    const double value = std::clamp(gtk_adjustment_get_value(vadjustment_), 0.0, upper - height);
    g_signal_handler_block(vadjustment_, valueHandler_);
    gtk_adjustment_configure(vadjustment_, value, 0, upper, height * 0.1, height * 0.9, height);
    g_signal_handler_unblock(vadjustment_, valueHandler_);
  }
  if (resized) {
    // New rows may have come into view: their items are made outside the allocation.
    std::weak_ptr<ZRVListView> weak = std::static_pointer_cast<ZRVListView>(shared_from_this());
    platform::DispatchQueue::main()->async([weak] {
      if (auto list = weak.lock()) list->updateVisibleItems();
    });
  }
  const double offset = vadjustment_ ? gtk_adjustment_get_value(vadjustment_) : 0;
  const double p = progress_;
  auto place = [&](const ZRVListItemPtr& item, double y, double h, double opacity) {
    GtkWidget* child = item->view()->widget();
    int minimum = 0, natural = 0;
    gtk_widget_measure(child, GTK_ORIENTATION_VERTICAL, width, &minimum, &natural, nullptr, nullptr);
    GtkAllocation rect{0, static_cast<int>(std::lround(y - offset)), width, static_cast<int>(std::lround(h))};
    gtk_widget_set_opacity(child, opacity);
    gtk_widget_size_allocate(child, &rect, -1);
  };
  for (const auto& section : sections_) {
    if (section.header) {
      place(section.header, section.headerFromY + (section.headerY - section.headerFromY) * p, section.headerHeight,
            section.headerAppearing ? p : 1);
    }
    for (const auto& row : section.rows) {
      if (!row->item) continue;
      place(row->item, row->fromY + (row->y - row->fromY) * p, row->height, row->appearing ? p : 1);
    }
  }
  for (const auto& d : disappearing_) place(d.item, d.y, d.height, 1 - p);
}

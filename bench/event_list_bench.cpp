// The event list on screen (a panel-sized window, cairo renderer) with 1,000 events:
//   Tick: one tick of the main timer with every countdown on screen redrawn, measured from the tick
//         to the end of the frame that paints it; baseline: a frame that repaints the same window
//         with nothing changed.
//   Batch: one batch of 100 changes (40 rows deleted, 40 inserted, 20 moved to another section),
//          applied and painted; baseline: reloading the same result from the data source, painted.
// Goals (medians): a tick at most 4 ms, a batch at most 16 ms (one frame).
//
// The list needs a display: without DISPLAY the program runs itself again through the tests'
// run_with_display.sh, which starts a private Xvfb (so it runs from scripts/run.sh's loop as it is).

#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ZRVClock.h"
#include "bench/support/compare.h"
#include "reactive/RFScheduler.h"
#include "tests/app/ui/event_list_fixture.h"

namespace {

using platform::Date;
using zorvel::test::EventListSource;
using zorvel::test::EventListWindow;
using zorvel::test::makeEvent;

constexpr double kDay = 86400;
constexpr int kIterations = 60;

// The clock the items count from, moved by the benchmark.
Date gNow = Date::fromTimeIntervalSinceReferenceDate(740000000);

EventListSource::Sections thousandEvents() {
  EventListSource::Sections sections(3);
  for (int i = 0; i < 100; ++i)
    sections[0].push_back(
        makeEvent("done " + std::to_string(i), ZRVEventStateComplete, gNow.addingTimeInterval(-kDay)));
  for (int i = 0; i < 850; ++i) {
    const double ahead = i < 30 ? 600.0 * (i + 1) + 7 : kDay * (i - 29) / 3 + 3600 * 5 + 7;
    sections[1].push_back(
        makeEvent("active " + std::to_string(i), ZRVEventStateActive, gNow.addingTimeInterval(ahead)));
  }
  for (int i = 0; i < 50; ++i) {
    auto event = makeEvent("archived " + std::to_string(i), ZRVEventStateArchived, gNow.addingTimeInterval(-kDay * 9));
    event->setCreatedAt(gNow.addingTimeInterval(-kDay * 20));
    sections[2].push_back(event);
  }
  return sections;
}

// The 100 changes: deleted rows of the active section (old positions), rows moved from it to the
// top of the complete section, and new rows (new positions).
struct Changes {
  std::vector<std::size_t> deleted;   // 30, 50, ... 810
  std::vector<std::size_t> moved;     // 1 ... 20 -> complete 0 ... 19
  std::vector<std::size_t> inserted;  // 0, 20, ... 780
  Changes() {
    for (int k = 0; k < 40; ++k) deleted.push_back(30 + 20 * k);
    for (int k = 1; k <= 20; ++k) moved.push_back(k);
    for (int k = 0; k < 40; ++k) inserted.push_back(20 * k);
  }
  EventListSource::Sections apply(const EventListSource::Sections& old) const {
    EventListSource::Sections next(3);
    for (std::size_t i : moved) {
      auto done = makeEvent(*old[1][i]->name(), ZRVEventStateComplete, *old[1][i]->date());
      next[0].push_back(done);
    }
    next[0].insert(next[0].end(), old[0].begin(), old[0].end());
    for (std::size_t i = 0; i < old[1].size(); ++i) {
      const bool goes = std::find(deleted.begin(), deleted.end(), i) != deleted.end() ||
                        std::find(moved.begin(), moved.end(), i) != moved.end();
      if (!goes) next[1].push_back(old[1][i]);
    }
    for (std::size_t p : inserted)
      next[1].insert(next[1].begin() + static_cast<std::ptrdiff_t>(p),
                     makeEvent("new " + std::to_string(p), ZRVEventStateActive, gNow.addingTimeInterval(kDay * 3)));
    next[2] = old[2];
    return next;
  }
  void record(ZRVListBatch& batch) const {
    for (std::size_t i : deleted) batch.deleteItem({1, i});
    for (std::size_t k = 0; k < moved.size(); ++k) batch.moveItem({1, moved[k]}, {0, k});
    for (std::size_t p : inserted) batch.insertItem({1, p});
  }
};

struct Fixture {
  std::shared_ptr<RFTestScheduler> scheduler = RFTestScheduler::create();
  std::shared_ptr<EventListSource> source = std::make_shared<EventListSource>();
  EventListSource::Sections original;
  std::unique_ptr<EventListWindow> window;
  int painted = 0;
  gulong handler = 0;
  GdkFrameClock* clock = nullptr;

  Fixture() {
    source->timer = platform::make<ZRVMainTimer>(scheduler);
    original = thousandEvents();
    source->sections = original;
    window = std::make_unique<EventListWindow>(source);
    if (!window->ready()) throw std::runtime_error("the list's window was not shown");
    clock = gtk_widget_get_frame_clock(window->window());
    handler = g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](int* n) { ++*n; }), &painted);
    showRow({1, 2});
  }
  ~Fixture() { g_signal_handler_disconnect(clock, handler); }

  // Scrolls the row to the top. The rows shown are active ones, far enough from the completed rows
  // that none of those (whose star particles would keep the frame clock busy) is on screen.
  void showRow(ZRVIndexPath row) {
    window->list()->scrollToItem(row);
    if (!window->settle()) throw std::runtime_error("the list was not painted");
  }
  // Lets the frame clock's pacing pass, so that the next frame may start at once.
  static void idle() { platform::RunLoop::main().runFor(0.02); }
  // Serves the main loop until the next frame has been painted; the seconds it took.
  double untilPainted(std::chrono::steady_clock::time_point start) {
    const int before = painted;
    if (!platform::runMainLoopUntil([&] { return painted > before; }, 5))
      throw std::runtime_error("no frame was painted");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::shared_ptr<ZRVMainCollectionViewItem> firstCountdown() {
    for (const auto& shown : window->list()->visibleItems()) {
      auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(shown);
      if (item && item->outlet("secondsCounterLabel")) return item;
    }
    return nullptr;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Tick(benchmark::State& state) {
  zorvel::bench::runGuarded(state, [&] {
    Fixture& f = fixture();
    f.source->sections = f.original;
    f.window->list()->reloadData();
    f.showRow({1, 2});
    auto probe = f.firstCountdown();
    if (!probe) throw std::runtime_error("no countdown on screen");
    for (auto _ : state) {
      Fixture::idle();
      const std::string before = probe->labelText("secondsCounterLabel");
      gNow = gNow.addingTimeInterval(1);
      const auto start = std::chrono::steady_clock::now();
      f.source->timer->timerTick();
      state.SetIterationTime(f.untilPainted(start));
      if (probe->labelText("secondsCounterLabel") == before) throw std::runtime_error("the countdown did not move");
    }
    state.SetItemsProcessed(state.iterations());
  });
}

void BM_RepaintUnchanged(benchmark::State& state) {
  zorvel::bench::runGuarded(state, [&] {
    Fixture& f = fixture();
    for (auto _ : state) {
      Fixture::idle();
      const auto start = std::chrono::steady_clock::now();
      gtk_widget_queue_draw(f.window->window());
      state.SetIterationTime(f.untilPainted(start));
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// One batch (or, as the baseline, a reload) from the original 1,000 events to the changed ones.
void runBatch(benchmark::State& state, bool reload) {
  zorvel::bench::runGuarded(state, [&] {
    Fixture& f = fixture();
    const Changes changes;
    const EventListSource::Sections next = changes.apply(f.original);
    ZRVListView& list = *f.window->list();
    for (auto _ : state) {
      f.source->sections = f.original;
      list.reloadData();
      f.showRow({1, 400});
      Fixture::idle();
      f.source->sections = next;  // the data source changes first, as the store's view does
      bool finished = false;
      const auto start = std::chrono::steady_clock::now();
      if (reload) {
        list.reloadData();
        finished = true;
      } else {
        list.performBatchUpdates([&](ZRVListBatch& batch) { changes.record(batch); },
                                 [&](bool done) { finished = done; });
      }
      state.SetIterationTime(f.untilPainted(start));
      if (!platform::runMainLoopUntil([&] { return finished; }, 5)) throw std::runtime_error("the batch failed");
      if (list.numberOfItemsInSection(0) != next[0].size() || list.numberOfItemsInSection(1) != next[1].size() ||
          list.identifierAt({0, 0}) != std::string(ZRVMainCompletedItemIdentifier))
        throw std::runtime_error("the list does not hold the data source's rows");
    }
    state.SetItemsProcessed(state.iterations());
  });
}

void BM_Batch100(benchmark::State& state) { runBatch(state, false); }
void BM_Reload(benchmark::State& state) { runBatch(state, true); }

BENCHMARK(BM_Tick)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepaintUnchanged)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Batch100)->UseManualTime()->Iterations(kIterations / 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reload)->UseManualTime()->Iterations(kIterations / 2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // No display: run again on a private headless one.
  if (!std::getenv("DISPLAY") && !std::getenv("ZORVEL_BENCH_DISPLAY_STARTED")) {
    setenv("ZORVEL_BENCH_DISPLAY_STARTED", "1", 1);
    std::vector<char*> args;
    std::string script = ZORVEL_RUN_WITH_DISPLAY;
    std::string self = "/proc/self/exe";
    std::vector<char> selfPath(4096);
    const ssize_t n = readlink(self.c_str(), selfPath.data(), selfPath.size() - 1);
    if (n > 0) self.assign(selfPath.data(), static_cast<std::size_t>(n));
    args.push_back(script.data());
    args.push_back(self.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(script.c_str(), args.data());
    std::perror("event_list_bench: cannot start run_with_display.sh");
    return 1;
  }
  setenv("GSK_RENDERER", "cairo", 0);
  if (!gtk_init_check()) {
    std::fprintf(stderr, "event_list_bench: no display\n");
    return 1;
  }
  // Animations off, as in the tests: a batch is measured to its first painted frame.
  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
  ZRVClock::setSource([] { return gNow; });
  return zorvel::bench::runAndCompare(
      argc, argv,
      {{"BM_Tick/iterations:60/manual_time", "BM_RepaintUnchanged/iterations:60/manual_time", 0, 4e6},
       {"BM_Batch100/iterations:30/manual_time", "BM_Reload/iterations:30/manual_time", 0, 16e6}});
}

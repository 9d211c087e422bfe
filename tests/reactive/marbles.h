#pragma once

// Marble tables for the operator tests: a script of events sent into input subjects at points of
// virtual time on a test scheduler, and the transcript of what the operator under test sent,
// with time marks in between.
//
//   {"throttle sends the last value one interval after it",
//    [](Inputs& in) { return in.a->throttle(Marbles::seconds(1)); },
//    {next('a', 0, 1), next('a', 0.2, 2), mark(1.1), mark(1.3)},
//    {"@1.1", "2", "@1.3"}}
//
// Times are in units of kUnit seconds after the moment the case starts (operators schedule
// their timers from the wall clock; a unit long enough makes the real time the test takes
// negligible). The operator is subscribed at time 0, inside the scheduler, so the test scheduler
// is the current scheduler of everything that runs. Transcript entries: a value's description
// ("(a,b)" for tuples), "error <code>", "completed", "@<time>" for marks.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

namespace marbles {

using platform::Value;
using Transcript = std::vector<std::string>;

inline constexpr double kUnit = 10.0;
inline double seconds(double units) { return units * kUnit; }

// The text of one value in a transcript.
inline std::string text(const Value& value) {
  if (auto tuple = value.as<RFTuple>()) {
    std::string s = "(";
    for (std::size_t i = 0; i < tuple->count(); ++i) s += (i ? "," : "") + text((*tuple)[i]);
    return s + ")";
  }
  if (value.isArray()) {
    std::string s = "[";
    for (std::size_t i = 0; i < value.count(); ++i) s += (i ? "," : "") + text(value[i]);
    return s + "]";
  }
  return value.description();
}

inline std::string timeText(double t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "@%g", t);
  return buffer;
}

struct Inputs {
  RFSubjectPtr a = RFSubject::subject();
  RFSubjectPtr b = RFSubject::subject();
  RFSubjectPtr c = RFSubject::subject();
  RFSubjectPtr named(char name) const { return name == 'a' ? a : name == 'b' ? b : c; }
};

struct Step {
  enum Kind { Next, NextOf, Error, Completed, Mark, Dispose, Run } kind;
  char input = 'a';
  double time = 0;
  Value value;
  std::function<void()> run;
  std::function<Value(const Inputs& inputs)> make;
};
inline Step next(char input, double time, Value value) { return {Step::Next, input, time, std::move(value), {}, {}}; }
inline Step fail(char input, double time, std::int64_t code) { return {Step::Error, input, time, Value(code), {}, {}}; }
inline Step done(char input, double time) { return {Step::Completed, input, time, {}, {}, {}}; }
inline Step mark(double time) { return {Step::Mark, 0, time, {}, {}, {}}; }
// Disposes the subscription to the operator under test.
inline Step dispose(double time) { return {Step::Dispose, 0, time, {}, {}, {}}; }
inline Step at(double time, std::function<void()> block) { return {Step::Run, 0, time, {}, std::move(block), {}}; }
// Sends a value made from the inputs (another input, for signals of signals).
inline Step nextOf(char input, double time, std::function<Value(const Inputs& inputs)> make) {
  return {Step::NextOf, input, time, {}, {}, std::move(make)};
}

class Marbles {
 public:
  Marbles() : scheduler(RFTestScheduler::create()), start_(platform::Date::now()) {}

  platform::Date date(double time) const { return start_.addingTimeInterval(seconds(time)); }
  void at(double time, std::function<void()> block) { scheduler->after(date(time), std::move(block)); }

  // Subscribes at time 0 and writes what arrives into the transcript.
  void record(const RFSignalPtr& signal) {
    at(0, [this, signal] {
      subscription = signal->subscribeNext(
          [this](const Value& v) { transcript.push_back(text(v)); },
          [this](const platform::ErrorPtr& e) { transcript.push_back("error " + std::to_string(e ? e->code() : -1)); },
          [this] { transcript.push_back("completed"); });
    });
  }

  void script(const Inputs& inputs, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      double time = step.time;
      switch (step.kind) {
        case Step::Next:
          at(time, [s = inputs.named(step.input), v = step.value] { s->sendNext(v); });
          break;
        case Step::NextOf:
          at(time, [s = inputs.named(step.input), v = step.make(inputs)] { s->sendNext(v); });
          break;
        case Step::Error:
          at(time, [s = inputs.named(step.input), code = step.value.asInt64()] {
            s->sendError(platform::Error::make("Test", code));
          });
          break;
        case Step::Completed:
          at(time, [s = inputs.named(step.input)] { s->sendCompleted(); });
          break;
        case Step::Mark:
          at(time, [this, time] { transcript.push_back(timeText(time)); });
          break;
        case Step::Dispose:
          at(time, [this] {
            if (subscription) subscription->dispose();
          });
          break;
        case Step::Run:
          at(time, step.run);
          break;
      }
    }
  }

  // Runs everything scheduled, in order of date, and then disposes the subscription.
  void run() {
    scheduler->stepAll();
    if (subscription) subscription->dispose();
  }

  std::shared_ptr<RFTestScheduler> scheduler;
  Transcript transcript;
  RFDisposablePtr subscription;

 private:
  platform::Date start_;
};

// One row of a marble table.
struct Case {
  const char* name;
  std::function<RFSignalPtr(Inputs& inputs)> build;
  std::vector<Step> steps;
  Transcript expected;
};

inline void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Inputs inputs;
    Marbles m;
    m.record(c.build(inputs));
    m.script(inputs, c.steps);
    m.run();
    EXPECT_EQ(m.transcript, c.expected) << c.name;
  }
}

// Keeps debug names for its lifetime.
class DebugNames {
 public:
  DebugNames() { setenv("RF_DEBUG_SIGNAL_NAMES", "1", 1); }
  ~DebugNames() { unsetenv("RF_DEBUG_SIGNAL_NAMES"); }
  DebugNames(const DebugNames&) = delete;
  DebugNames& operator=(const DebugNames&) = delete;
};

// A subject named `name`, for name tables.
inline RFSubjectPtr namedSubject(const char* name) {
  RFSubjectPtr subject = RFSubject::subject();
  subject->setName(name);
  return subject;
}

// One row of a name table: the signal and the name it should have, or the name's beginning
// (where the name shows an address).
struct NameRow {
  RFSignalPtr signal;
  std::string name;
  bool prefix = false;
};
inline NameRow startsWith(RFSignalPtr signal, std::string prefix) {
  return {std::move(signal), std::move(prefix), true};
}

inline void expectNames(const std::vector<NameRow>& rows) {
  for (const NameRow& row : rows) {
    if (row.prefix)
      EXPECT_EQ(row.signal->name().rfind(row.name, 0), 0u) << row.signal->name();
    else
      EXPECT_EQ(row.signal->name(), row.name);
  }
}

}  // namespace marbles

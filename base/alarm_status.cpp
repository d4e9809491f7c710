#include "base/alarm_status.h"

#include <mutex>

namespace {

// Never destroyed, as the threads that post and wait may outlive main().
struct StateWatchers {
  std::mutex mu;
  WakeEvent* events[ALARM_STATE_WATCHERS] = {};
};
StateWatchers& state_watchers() {
  static StateWatchers* const watchers = new StateWatchers;
  return *watchers;
}

}  // namespace

void AlarmStateWord::store(int32_t value) {
  word_.store(value);
  StateWatchers& w = state_watchers();
  // Under the lock, so that a watcher that has just left is never posted.
  std::lock_guard<std::mutex> lock(w.mu);
  for (WakeEvent* e : w.events) {
    if (e != nullptr) e->post();
  }
}

bool watch_alarm_state(WakeEvent* event) {
  StateWatchers& w = state_watchers();
  std::lock_guard<std::mutex> lock(w.mu);
  for (WakeEvent*& slot : w.events) {
    if (slot == nullptr) {
      slot = event;
      return true;
    }
  }
  return false;
}

void unwatch_alarm_state(WakeEvent* event) {
  StateWatchers& w = state_watchers();
  std::lock_guard<std::mutex> lock(w.mu);
  for (WakeEvent*& slot : w.events) {
    if (slot == event) slot = nullptr;
  }
}

AlarmStatus g_alarm_status;
std::atomic<int32_t> g_button_event{BUTTON_NONE};
// Never destroyed: the input thread may still post it while the process exits.
WakeEvent& g_main_wakeup = *new WakeEvent;

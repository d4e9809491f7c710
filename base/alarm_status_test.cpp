#include "base/alarm_status.h"

#include <gtest/gtest.h>

namespace {

class AlarmStateWatch : public ::testing::Test {
 protected:
  ~AlarmStateWatch() override {
    for (WakeEvent& e : events_) unwatch_alarm_state(&e);
    g_alarm_status.state = ALARM_STATE_OFF;
  }
  WakeEvent events_[ALARM_STATE_WATCHERS + 1];
};

TEST_F(AlarmStateWatch, EveryStorePostsEachWatcherUntilItLeaves) {
  ASSERT_TRUE(watch_alarm_state(&events_[0]));
  ASSERT_TRUE(watch_alarm_state(&events_[1]));
  EXPECT_FALSE(events_[0].take());
  g_alarm_status.state = ALARM_STATE_DELAY;
  EXPECT_EQ(g_alarm_status.state, ALARM_STATE_DELAY);
  EXPECT_TRUE(events_[0].take());
  EXPECT_TRUE(events_[1].take());
  // The same value again still tells: a watcher looks for itself what changed.
  g_alarm_status.state.store(ALARM_STATE_DELAY);
  EXPECT_TRUE(events_[0].take());
  unwatch_alarm_state(&events_[0]);
  g_alarm_status.state = ALARM_STATE_RINGING;
  EXPECT_FALSE(events_[0].take());
  EXPECT_TRUE(events_[1].take());
  EXPECT_EQ(g_alarm_status.state.load(), ALARM_STATE_RINGING);
}

TEST_F(AlarmStateWatch, AWatcherBeyondThePlacesIsRefusedAndNeverPosted) {
  for (int i = 0; i < ALARM_STATE_WATCHERS; ++i) ASSERT_TRUE(watch_alarm_state(&events_[i]));
  WakeEvent& extra = events_[ALARM_STATE_WATCHERS];
  EXPECT_FALSE(watch_alarm_state(&extra));
  g_alarm_status.state = ALARM_STATE_SHUTDOWN;
  EXPECT_FALSE(extra.take());
  // A place given back is free for the next one.
  unwatch_alarm_state(&events_[3]);
  events_[3].take();
  EXPECT_TRUE(watch_alarm_state(&extra));
  g_alarm_status.state = ALARM_STATE_OFF;
  EXPECT_TRUE(extra.take());
  EXPECT_FALSE(events_[3].take());
}

}  // namespace

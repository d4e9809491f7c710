#include "sim/sim_actions.h"

#include <string>

#include <gtest/gtest.h>

TEST(SimActions, EachKindParsesAndTheRestIsRefused) {
  SimAction a;
  std::string error;
  ASSERT_TRUE(parse_sim_action("2.5:tap:left", &a, &error));
  EXPECT_EQ(a.kind, SimAction::kTap);
  EXPECT_DOUBLE_EQ(a.at, 2.5);
  EXPECT_EQ(a.button, "left");
  ASSERT_TRUE(parse_sim_action("3:touch:240,750", &a, &error));
  EXPECT_EQ(a.kind, SimAction::kTouch);
  EXPECT_EQ(a.x, 240);
  EXPECT_EQ(a.y, 750);
  ASSERT_TRUE(parse_sim_action("4:key:power", &a, &error));
  EXPECT_EQ(a.kind, SimAction::kKey);
  ASSERT_TRUE(parse_sim_action("5:shot:a:b.png", &a, &error));
  EXPECT_EQ(a.kind, SimAction::kShot);
  EXPECT_EQ(a.file, "a:b.png");
  for (const char* bad :
       {"tap:left", ":tap:left", "-1:tap:left", "x:tap:left", "1:tap:top", "1:touch:240",
        "1:touch:240,750,1", "1:key:home", "1:shot:", "1:swipe:up"}) {
    EXPECT_FALSE(parse_sim_action(bad, &a, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
}

TEST(UserPolicy, ActsRelativeToEachRingStart) {
  UserPolicy p;
  std::string error;
  SimAction a;
  ASSERT_TRUE(parse_user_policy("stop:10", &p, &error));
  EXPECT_EQ(user_policy_text(p), "stop:10");
  for (int ring = 0; ring < 3; ++ring) {
    ASSERT_TRUE(user_action_for_ring(p, ring, 21.25 + 60 * ring, &a));
    EXPECT_EQ(a.kind, SimAction::kTap);
    EXPECT_EQ(a.button, "mid");
    EXPECT_DOUBLE_EQ(a.at, 31.25 + 60 * ring);
  }

  ASSERT_TRUE(parse_user_policy("snooze-then-stop:2.5", &p, &error));
  ASSERT_TRUE(user_action_for_ring(p, 0, 21, &a));
  EXPECT_EQ(a.button, "left");
  EXPECT_DOUBLE_EQ(a.at, 23.5);
  ASSERT_TRUE(user_action_for_ring(p, 1, 81, &a));
  EXPECT_EQ(a.button, "mid");
  ASSERT_TRUE(user_action_for_ring(p, 2, 141, &a));
  EXPECT_EQ(a.button, "mid");

  ASSERT_TRUE(parse_user_policy("power-key:0", &p, &error));
  ASSERT_TRUE(user_action_for_ring(p, 4, 21, &a));
  EXPECT_EQ(a.kind, SimAction::kKey);
  EXPECT_DOUBLE_EQ(a.at, 21);

  for (const char* idle : {"none", "ignore"}) {
    ASSERT_TRUE(parse_user_policy(idle, &p, &error));
    EXPECT_EQ(user_policy_text(p), idle);
    EXPECT_FALSE(user_action_for_ring(p, 0, 21, &a)) << idle;
  }
  for (const char* bad :
       {"stop", "stop:", "stop:-1", "stop:x", "stop:1e9", "snooze:5", "ignore:5", "Stop:5"}) {
    EXPECT_FALSE(parse_user_policy(bad, &p, &error)) << bad;
  }
}

TEST(SimActions, AClockSetTakesSignedSecondsUpToAYear) {
  SimAction a;
  std::string error;
  ASSERT_TRUE(parse_sim_action("30:clock:-1500", &a, &error));
  EXPECT_EQ(a.kind, SimAction::kClock);
  EXPECT_DOUBLE_EQ(a.set_by, -1500);
  ASSERT_TRUE(parse_sim_action("1:clock:+2.5", &a, &error));
  EXPECT_DOUBLE_EQ(a.set_by, 2.5);
  for (const char* bad : {"1:clock:", "1:clock:15", "1:clock:+0", "1:clock:-x", "1:clock:+1e3",
                          "1:clock:+40000000", "1:clock:--5"}) {
    EXPECT_FALSE(parse_sim_action(bad, &a, &error)) << bad;
  }
}

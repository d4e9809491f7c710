#include "sim/sim_outcome.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox/sandbox_files.h"

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(SimOutcome, AnRtcAlarmWakesOnlyWithItsLeadAfterThePowerOff) {
  const double off = 1796796032.6;
  EXPECT_TRUE(rtc_alarm_wakes(1796796043, off, 10));
  EXPECT_FALSE(rtc_alarm_wakes(1796796042, off, 10));  // 9.4 s: the kernel is going down
  EXPECT_FALSE(rtc_alarm_wakes(1796796000, off, 10));  // in the past
  EXPECT_TRUE(rtc_alarm_wakes(1796796033, off, 0));
  EXPECT_FALSE(rtc_alarm_wakes(std::nullopt, off, 10));         // nothing programmed
  EXPECT_FALSE(rtc_alarm_wakes(1796796043, std::nullopt, 10));  // still on

  EXPECT_EQ(rtc_seconds("1796885980"), 1796885980);
  EXPECT_EQ(rtc_seconds(" 1796885980\n"), 1796885980);
  EXPECT_EQ(rtc_seconds(""), std::nullopt);
  EXPECT_EQ(rtc_seconds("-5"), std::nullopt);
  EXPECT_EQ(rtc_seconds("garbage 1796885980"), std::nullopt);
}

TEST(SimOutcome, JsonHoldsEveryFieldWithNullsAndEscapes) {
  SimOutcome o;
  o.ran = true;
  o.stopped_at_until = true;
  o.properties_set = {{"ctl.start", "zy\"go\nte"}};
  o.start_at = 1796796000;
  o.wake_at = 1796795965;
  std::string json = format_outcome_json(o);
  for (const char* part : {"\"exit_status\": null", "\"poweroff_at\": null", "\"rtc_alarm\": null",
                           "\"rtc_wakes\": false", "\"ring_starts\": []", "\"snooze_notes\": []",
                           "\"wake_at\": 1796795965.000", "\"start_at\": 1796796000.000",
                           "{\"name\": \"ctl.start\", \"value\": \"zy\\\"go\\nte\"}"}) {
    EXPECT_TRUE(has(json, part)) << part << "\n" << json;
  }
  EXPECT_FALSE(has(json, "\"error\""));

  o.stopped_at_until = false;
  o.exit_status = 0;
  o.poweroff_at = 1796796032.6034;
  o.rtc_alarm = 1796885980;
  o.rtc_wakes = true;
  o.ring_starts = {1796796021.2504, 1796796081.5};
  o.snooze_notes = {{1796796023.5, 5, 1796796083}};
  o.error = "tab\there";
  json = format_outcome_json(o);
  for (const char* part :
       {"\"exit_status\": 0", "\"poweroff_at\": 1796796032.603", "\"rtc_alarm\": 1796885980",
        "\"rtc_wakes\": true", "\"ring_starts\": [1796796021.250, 1796796081.500]",
        "\"snooze_notes\": [{\"written_at\": 1796796023.500, \"alarm_id\": 5, "
        "\"snooze_end\": 1796796083}]",
        "\"error\": \"tab\\there\"\n}\n"}) {
    EXPECT_TRUE(has(json, part)) << part << "\n" << json;
  }
}

TEST(SimOutcome, TimelineLinesHaveMillisecondsAndNoControlCharacters) {
  EXPECT_EQ(format_timeline(
                {{0, "start", "at=x"}, {21.2504, "player-start", "pid=7 a\nb"}, {30, "exit", ""}}),
            "0.000 start at=x\n21.250 player-start pid=7 a.b\n30.000 exit\n");
}

TEST(SimOutcome, TheSuspendLogPairsEachSuspendWithItsResumeAndCountsRefusals) {
  std::vector<SqliteLogEntry> log = {
      {1000000, "refused", "busy"},       {2000000, "suspend", "9000000"},
      {9000500, "resume", "alarm-timer"}, {9500000, "resume", "wake-up"},  // no suspend before it
      {10000000, "suspend", "20000000"},  {12000000, "resume", "wake-up"},
      {13000000, "suspend", "30000000"}};
  SimOutcome o;
  read_suspend_log(log, &o);
  EXPECT_EQ(o.suspend_refusals, 1);
  ASSERT_EQ(o.suspends.size(), 3u);
  EXPECT_DOUBLE_EQ(o.suspends[0].at, 2.0);
  EXPECT_DOUBLE_EQ(o.suspends[0].alarm_timer, 9.0);
  EXPECT_DOUBLE_EQ(*o.suspends[0].resumed_at, 9.0005);
  EXPECT_EQ(o.suspends[0].by, "alarm-timer");
  EXPECT_EQ(o.suspends[1].by, "wake-up");
  EXPECT_FALSE(o.suspends[2].resumed_at);  // still asleep when the run ended
  std::string json = format_outcome_json(o);
  EXPECT_TRUE(has(json, "\"resumed_at\": null, \"by\": null")) << json;
  EXPECT_TRUE(has(json, "\"suspend_refusals\": 1")) << json;
}

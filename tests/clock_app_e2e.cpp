// The clock application of Android 4.4 and later (templates and instances, at the old path
// or in device-protected storage) and the phone's own time zone, through alarm-sim.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/alarm_db.h"
#include "sim/sandbox_builder.h"
#include "tests/e2e_support.h"

namespace {

constexpr int kEveryDay = 127;
constexpr int kTue = 2, kThu = 8, kSat = 32, kSun = 64, kMon = 1;

std::string db_sql(const E2eSandbox& sb, const char* phone_path, const std::string& statement) {
  std::string out;
  run_sqlite(sb.path(phone_path), statement, &out);
  return out;
}

using Life = LifeRun;

}  // namespace

// Wednesday 2026-12-09: a daily 07:00 alarm whose instance is today, a weekday 06:45 alarm
// whose Thursday instance the user dismissed in advance, and a one-shot 07:30 alarm. Three
// days of a phone kept off ring exactly what the clock application would have rung.
TEST(ClockAppScenario, DailyWeekdayAndOneShotAlarmsRingAndTheDismissedDayDoesNot) {
  E2eSandbox sb({"--clock-app", "4.4"});
  const char* db = ALARM_DB_PATH;
  db_sql(sb, db, template_insert_sql(1, 7, 0, kEveryDay, 1, 0, 0, "Daily"));
  db_sql(sb, db, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 0, 0, "Daily"));
  db_sql(sb, db, template_insert_sql(2, 6, 45, kMonToFri, 1, 1, 0, "Work"));
  db_sql(sb, db, instance_insert_sql(12, 2, 2026, 11, 10, 6, 45, 8, 1, "Work"));
  db_sql(sb, db, template_insert_sql(3, 7, 30, 0, 1, 0, 0, "Once"));
  db_sql(sb, db, instance_insert_sql(13, 3, 2026, 11, 9, 7, 30, 0, 0, "Once"));
  Life l = live_life(sb, {"--from", "2026-12-09 06:00:00", "--days", "3"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  struct Due {
    long long at;
    int id;
  } want[] = {
      {epoch_utc(2026, 12, 9, 7, 0), 1},  {epoch_utc(2026, 12, 9, 7, 30), 3},
      {epoch_utc(2026, 12, 10, 7, 0), 1}, {epoch_utc(2026, 12, 11, 6, 45), 2},
      {epoch_utc(2026, 12, 11, 7, 0), 1},
  };
  const Json& expected = l.json["expected"];
  ASSERT_EQ(expected.a.size(), sizeof want / sizeof *want) << sb.read("/sim/life.txt");
  for (size_t i = 0; i < expected.a.size(); ++i) {
    EXPECT_EQ(static_cast<long long>(expected.a[i]["due"].n), want[i].at) << i;
    EXPECT_EQ(expected.a[i]["alarm_id"].n, want[i].id) << i;
  }
  EXPECT_EQ(life_rung_in_time(l), 5) << sb.read("/sim/life.txt");
  EXPECT_EQ(life_count(l, "unexpected"), 0) << sb.read("/sim/life.txt");
  EXPECT_EQ(life_count(l, "stale_instances"), 0);
  // Each rung instance dismissed, the one-shot alarm switched off; the day dismissed in
  // advance left to the clock application.
  EXPECT_EQ(db_sql(sb, db, "SELECT _id, alarm_state FROM alarm_instances ORDER BY _id;"),
            "11|7\n12|8\n13|7\n");
  EXPECT_EQ(db_sql(sb, db, "SELECT _id, enabled FROM alarm_templates ORDER BY _id;"),
            "1|1\n2|1\n3|0\n");
}

// 28 days of a 7.0 phone kept off, the README's month of alarms with the instances the
// clock application had made when the phone went off, at three boot times.
TEST(ClockAppScenario, A28DayLifeOnA70DatabaseRingsEveryInstantOnTime) {
  for (const char* boot : {"0", "35", "70"}) {
    SCOPED_TRACE(std::string("boot ") + boot);
    E2eSandbox sb({"--clock-app", "7"});
    const char* db = ALARM_DB_DE_PATH;
    // Switched off on Sunday 2026-12-06 at noon.
    db_sql(sb, db, template_insert_sql(1, 7, 0, kMonToFri, 1, 1, 0, "Work"));
    db_sql(sb, db, instance_insert_sql(11, 1, 2026, 11, 7, 7, 0, 0, 1, "Work"));
    db_sql(sb, db, template_insert_sql(2, 7, 1, kTue | kThu, 1, 0, 0, "Gym"));
    db_sql(sb, db, instance_insert_sql(12, 2, 2026, 11, 8, 7, 1, 0, 0, "Gym"));
    db_sql(sb, db, template_insert_sql(3, 23, 59, kSun, 1, 0, 0, "Bins"));
    db_sql(sb, db, instance_insert_sql(13, 3, 2026, 11, 6, 23, 59, 0, 0, "Bins"));
    db_sql(sb, db, template_insert_sql(4, 0, 0, kMon, 1, 0, 0, "Week"));
    db_sql(sb, db, instance_insert_sql(14, 4, 2026, 11, 7, 0, 0, 0, 0, "Week"));
    db_sql(sb, db, template_insert_sql(5, 6, 30, 0, 1, 0, 1, "Flight"));
    db_sql(sb, db, instance_insert_sql(15, 5, 2026, 11, 7, 6, 30, 0, 0, "Flight"));
    db_sql(sb, db, template_insert_sql(6, 9, 30, kSat | kSun, 1, 0, 0, "Weekend"));
    db_sql(sb, db, instance_insert_sql(16, 6, 2026, 11, 12, 9, 30, 0, 0, "Weekend"));
    Life l = live_life(sb, {"--from", "2026-12-06 12:00:00", "--days", "28", "--boot", boot});
    ASSERT_EQ(l.cli_status, 0) << l.out;
    // 20 weekday mornings, 8 gym days, 4 Sunday nights, 4 Monday midnights, the flight,
    // 8 weekend mornings (the last on Sunday 2027-01-03, before the noon the life ends at).
    EXPECT_EQ(life_count(l, "expected"), 45) << sb.read("/sim/life.txt");
    EXPECT_EQ(life_rung_in_time(l), 45) << sb.read("/sim/life.txt");
    EXPECT_EQ(life_count(l, "unexpected"), 0) << sb.read("/sim/life.txt");
    EXPECT_EQ(life_count(l, "lost_wakes"), 0);
    EXPECT_EQ(life_count(l, "stale_instances"), 0);
    EXPECT_TRUE(l.json["ended_early"].is_null()) << l.out;
    // The flight rang once and is gone, as the application deletes such an alarm.
    EXPECT_EQ(db_sql(sb, db, "SELECT count(*) FROM alarm_templates WHERE _id=5;"), "0\n");
    printf("boot %s: %d expected, %d on time, %d late, %d missed, %d unexpected, %d boots\n", boot,
           life_count(l, "expected"), life_count(l, "on_time"), life_count(l, "late"),
           life_count(l, "missed"), life_count(l, "unexpected"), life_count(l, "boots"));
  }
}

// 07:00 in Paris is 06:00 UTC in winter: the phone's zone, from its property store or from
// the persistent store on /data (the alarm boot never loads it), rings the alarm then. A
// phone that keeps no zone at all rings in UTC, and says so.
TEST(ClockAppScenario, TheZoneFromEachSourceRingsSevenParisTimeAtSixUtc) {
  for (const char* source : {"property", "store", "none"}) {
    SCOPED_TRACE(source);
    E2eSandbox sb({"--clock-app", "7"});
    db_sql(sb, ALARM_DB_DE_PATH, template_insert_sql(1, 7, 0, kEveryDay, 1, 0));
    db_sql(sb, ALARM_DB_DE_PATH, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 0));
    SimResult r = sb.run({"--at", "2026-12-09 06:59:40", "--tz", "Europe/Paris", "--zone-from",
                          source, "--user", "stop:5", "--until", "120"});
    const Json& rings = r.outcome["ring_starts"];
    if (std::string(source) == "none") {
      EXPECT_TRUE(rings.a.empty()) << r.timeline_text();
      EXPECT_TRUE(contains(r.kmsg, "no time zone in the properties or on /data: UTC"));
      continue;
    }
    ASSERT_EQ(rings.a.size(), 1u) << r.timeline_text();
    // Due in its second; the ring starts a second later, as it always does.
    EXPECT_GE(rings.a[0].n, epoch_utc(2026, 12, 9, 6, 0));
    EXPECT_LT(rings.a[0].n, epoch_utc(2026, 12, 9, 6, 0, 2));
    EXPECT_TRUE(contains(r.kmsg, "time zone Europe/Paris from")) << r.kmsg;
    EXPECT_TRUE(contains(r.kmsg, std::string(source) == "store"
                                     ? "from /data/property/persistent_properties"
                                     : "from the property persist.sys.timezone"))
        << r.kmsg;
  }
}

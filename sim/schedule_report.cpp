#include "sim/schedule_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "alarm/alarm.h"
#include "alarm/alarm_db.h"
#include "alarm/alarm_flag.h"
#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_platform.h"
#include "sim/sandbox_builder.h"

namespace {

const char* const kDayNames[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

std::string duration_text(int64_t secs) {
  char buf[64];
  snprintf(buf, sizeof buf, "%lldd %02lldh %02lldm %02llds", static_cast<long long>(secs / 86400),
           static_cast<long long>(secs / 3600 % 24), static_cast<long long>(secs / 60 % 60),
           static_cast<long long>(secs % 60));
  return buf;
}

std::string days_text(int32_t mask) {
  if ((mask & 0x7f) == 0) return "once";
  std::string out;
  for (int i = 0; i < 7; ++i) {
    if (mask & (1 << i)) out += std::string(out.empty() ? "" : ",") + kDayNames[i];
  }
  return out;
}

// A stored text on one line: the line end the database output leaves on the last column
// is dropped, other control characters show as dots.
std::string printable(const char* text) {
  std::string out;
  std::string_view t(text);
  while (!t.empty() && t.back() == '\n') t.remove_suffix(1);
  for (char ch : t) {
    unsigned char c = static_cast<unsigned char>(ch);
    out += c < 0x20 || c == 0x7f ? '.' : static_cast<char>(c);
  }
  return out;
}

std::string instant_text(const AlarmSecItem* item) {
  int32_t day = item->secs / SECONDS_PER_DAY;
  int32_t in_day = item->secs % SECONDS_PER_DAY;
  char buf[32];
  snprintf(buf, sizeof buf, "%s %02d:%02d:%02d", day >= 0 && day < 7 ? kDayNames[day] : "???",
           in_day / 3600, in_day / 60 % 60, in_day % 60);
  return buf;
}

// The settings reader prints the file's text on standard output; keep the report clean.
void read_settings_quietly() {
  fflush(stdout);
  int saved = dup(1);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, 1);
  read_alarm_flag();
  fflush(stdout);
  if (saved >= 0) dup2(saved, 1);
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
}

}  // namespace

bool print_schedule_report(const std::string& root, const std::string& at, const std::string& tz,
                           int boot_secs, std::string* error) {
  if (!use_time_zone(tz)) {
    *error = "unknown time zone " + tz;
    return false;
  }
  int64_t now = time(nullptr);
  if (!at.empty()) {
    int64_t at_us = parse_local_time_us(at.c_str());
    if (at_us < 0) {
      *error = "--at must read YYYY-MM-DD HH:MM:SS";
      return false;
    }
    now = at_us / 1000000;
  }
  if (access((root + ALARM_DB_PATH).c_str(), R_OK) != 0 &&
      access((root + ALARM_DB_DE_PATH).c_str(), R_OK) != 0) {
    *error = "no alarm database at " + root + ALARM_DB_PATH + " nor " + root + ALARM_DB_DE_PATH;
    return false;
  }
  if (!sandbox_root_is_safe(root)) {
    *error = "the directory path must be made of letters, digits and / . _ - +";
    return false;
  }

  SandboxPlatform sandbox(root, std::make_unique<ManualClock>(now * 1000000));
  sandbox.set_wake_us((now - boot_secs) * 1000000);
  set_platform(&sandbox);
  read_alarm_db();
  creat_alarm_sec_list();  // also reads the snooze note
  read_settings_quietly();

  printf("schedule of %s\nseen at %s\n\n", root.c_str(), local_time_text(now).c_str());
  printf("alarm records (clock application's database):\n");
  if (g_alarm_list == nullptr) printf("  none\n");
  for (const AlarmRecord* r = g_alarm_list; r; r = r->next) {
    printf("  id %-4d %02d:%02d  %-27s %-8s vibrate %d  label \"%s\"  ring \"%s\"\n", r->id,
           r->hour, r->minute, days_text(r->day_mask).c_str(), r->enabled ? "enabled" : "disabled",
           r->vibrate, printable(r->message).c_str(), printable(r->alert).c_str());
  }
  if (g_alarm_db_kind == ALARM_DB_INSTANCES) {
    printf("(the templates of Android 4.4 and later, in %s)\ninstances:\n", g_alarm_db_path);
    if (g_alarm_instance_list == nullptr) printf("  none\n");
    for (const AlarmInstanceRecord* r = g_alarm_instance_list; r; r = r->next) {
      printf("  instance %-4d of id %-4d %04d-%02d-%02d %02d:%02d  state %d%s  vibrate %d\n", r->id,
             r->alarm_id, r->year, r->month + 1, r->day, r->hour, r->minute, r->state,
             r->state <= INSTANCE_STATE_LAST_PENDING ? " (rings)" : "", r->vibrate);
    }
  }
  printf("\nsettings: rings %d s before snoozing by itself, snoozes for %d s, ring file %s\n",
         g_alarm_last_time, g_alarm_delay_time,
         g_alarm_ring_path ? g_alarm_ring_path : "(the default)");

  printf("\nthe week's instants:\n");
  if (g_alarm_sec_list == nullptr) printf("  none (the program would end: alarm init failed)\n");
  // Items made from the records come first; the snooze note's follow them.
  for (const AlarmSecItem* i = g_alarm_sec_list; i; i = i->next) {
    const char* kind = is_snooze_item(i) ? "snooze"
                       : i->instant != 0 ? "instance"
                       : i->day == -1    ? "one-shot"
                                         : "repeating";
    std::string when = instant_text(i);
    if (is_snooze_item(i) || i->instant != 0) {
      when = local_time_text(is_snooze_item(i) ? i->snooze_end : i->instant);
    }
    printf("  %s  id %-4d %-9s vibrate %d%s\n", when.c_str(), i->id, kind, i->vib,
           i->not_before != 0 ? ("  after " + local_time_text(i->not_before)).c_str() : "");
  }

  // As the program's first look after start-up sees it (back to the wake).
  AlarmExpiry first = find_alarm_expiry(g_alarm_sec_list, now, first_look_back_start(now));
  printf("\nnext alarm: ");
  if (first.item == nullptr) {
    printf("none\n");
  } else if (first.due) {
    printf("id %d, due now (%s)\n", first.item->id, instant_text(first.item).c_str());
  } else {
    printf("id %d at %s, in %s\n", first.item->id, local_time_text(now + first.secs).c_str(),
           duration_text(first.secs).c_str());
    if (first.secs <= 50)
      printf("  a start now would wait for it and ring\n");
    else
      printf("  a start now would end at once (more than 50 s away) and program the RTC\n");
  }

  // Powering off now, with no instant crossed since the last look.
  AlarmExpiry off = find_alarm_expiry(g_alarm_sec_list, now, now - 1);
  printf("RTC alarm at a power-off now: ");
  if (off.item == nullptr) {
    printf("not programmed (no alarm)\n");
  } else if (off.secs < POWEROFF_MIN_ALARM_SECS) {
    printf("none: the alarm is too near, the program would wait for it dark instead\n");
  } else {
    int32_t delay = off.secs - RTC_WAKE_AHEAD_SECS;
    if (off.secs <= RTC_WAKE_AHEAD_SECS) delay = 1;
    printf("%lld (RTC time %lld + %d s) = %s\n", static_cast<long long>(now + delay),
           static_cast<long long>(now), delay, local_time_text(now + delay).c_str());
  }
  free_alarm_sec_list();
  free_alarm_list();
  set_platform(nullptr);
  return true;
}

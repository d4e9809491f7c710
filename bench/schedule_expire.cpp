// Cost of one get_alarm_expire call with 1000 alarms of seven days each (7000 items), as
// the main loop pays it on every pass. Prints the figure; exits 1 when it is 50 us or more.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "alarm/alarm_db.h"
#include "alarm/alarm_schedule.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kAlarms = 1000;
constexpr int kEveryDay = 127;
constexpr int kCallsPerBatch = 2000;
constexpr int kBatches = 15;
constexpr double kLimitUs = 50.0;

// Average microseconds per call over one batch; the clock moves one second between calls
// when `advance` is set (the main loop's pace), else every call lands in the same second.
double batch_us(TestSandbox& sb, bool advance) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallsPerBatch; ++i) {
    AlarmSecItem* chosen = nullptr;
    volatile int32_t r = get_alarm_expire(&chosen);
    (void)r;
    if (advance) sb.clock().advance_by(1000000);
  }
  auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(end - start).count() / kCallsPerBatch;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  TestSandbox sb("2026-12-09 06:59:30", "Europe/Berlin");
  for (int i = 0; i < kAlarms; ++i) {
    char row[128];
    snprintf(row, sizeof row, "%d|%d|%d|%d|0|1|%d|alarm %d|content://media/alarm/%d\n", i + 1,
             (i * 7) % 24, (i * 13) % 60, kEveryDay, i % 2, i, i);
    parse_alarm_row(row);
  }
  if (creat_alarm_sec_list() == nullptr) {
    fprintf(stderr, "no alarm second list\n");
    return 2;
  }
  size_t items = 0;
  for (AlarmSecItem* it = g_alarm_sec_list; it != nullptr; it = it->next) ++items;

  std::vector<double> same_second, advancing;
  for (int b = 0; b < kBatches; ++b) {
    same_second.push_back(batch_us(sb, false));
    advancing.push_back(batch_us(sb, true));
  }
  double a = median(same_second);
  double b = median(advancing);
  double worst = std::max(a, b);
  printf("get_alarm_expire, %d alarms x 7 days (%zu items):\n", kAlarms, items);
  printf("  %.2f us per call, calls in the same second (median of %d batches of %d)\n", a, kBatches,
         kCallsPerBatch);
  printf("  %.2f us per call, one second between calls\n", b);
  printf("get_alarm_expire: %.2f us per call (limit %.0f us): %s\n", worst, kLimitUs,
         worst < kLimitUs ? "ok" : "TOO SLOW");
  return worst < kLimitUs ? 0 : 1;
}

#include "sim/sim_outcome.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sandbox/sandbox_files.h"
#include "sim/json_text.h"

namespace {

// Members of a JSON object in the order added, each value already JSON text. The top level
// of a file puts one member on a line; nested objects stay on one line.
class JsonObject {
 public:
  JsonObject& add(const std::string& key, const std::string& json_value) {
    members_.emplace_back(key, json_value);
    return *this;
  }
  std::string inline_text() const {
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); ++i) {
      out += (i ? ", " : "") + json_string(members_[i].first) + ": " + members_[i].second;
    }
    return out + "}";
  }
  std::string file_text() const {
    std::string out = "{\n";
    for (size_t i = 0; i < members_.size(); ++i) {
      out += "  " + json_string(members_[i].first) + ": " + members_[i].second;
      out += i + 1 < members_.size() ? ",\n" : "\n";
    }
    return out + "}\n";
  }

 private:
  std::vector<std::pair<std::string, std::string>> members_;
};

std::string visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += (c < 0x20 || c == 0x7f) ? '.' : static_cast<char>(c);
  return out;
}

}  // namespace

bool rtc_alarm_wakes(std::optional<int64_t> rtc_alarm, std::optional<double> poweroff_at,
                     double min_lead) {
  if (!rtc_alarm || !poweroff_at) return false;
  return static_cast<double>(*rtc_alarm) - *poweroff_at >= min_lead;
}

std::optional<int64_t> rtc_seconds(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
  if (*p < '0' || *p > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(p, &end, 10);
  if (errno != 0) return std::nullopt;
  return static_cast<int64_t>(v);
}

std::string format_timeline(const std::vector<SimTimelineEntry>& timeline) {
  std::string out;
  for (const SimTimelineEntry& e : timeline) {
    char head[48];
    snprintf(head, sizeof head, "%.3f %s", e.at, e.word.c_str());
    out += head;
    if (!e.details.empty()) out += " " + visible(e.details);
    out += "\n";
  }
  return out;
}

std::string format_outcome_json(const SimOutcome& o) {
  std::vector<std::string> properties;
  for (const auto& p : o.properties_set) {
    properties.push_back(JsonObject()
                             .add("name", json_string(p.first))
                             .add("value", json_string(p.second))
                             .inline_text());
  }
  std::vector<std::string> rings;
  for (double at : o.ring_starts) rings.push_back(json_seconds(at));
  std::vector<std::string> notes;
  for (const SimSnoozeNote& n : o.snooze_notes) {
    notes.push_back(JsonObject()
                        .add("written_at", json_seconds(n.written_at))
                        .add("alarm_id", std::to_string(n.alarm_id))
                        .add("snooze_end", std::to_string(n.snooze_end))
                        .inline_text());
  }
  std::vector<std::string> shots;
  for (const std::string& s : o.screenshots) shots.push_back(json_string(s));
  std::vector<std::string> suspends;
  for (const SimSuspend& s : o.suspends) {
    suspends.push_back(JsonObject()
                           .add("at", json_seconds(s.at))
                           .add("alarm_timer", json_seconds(s.alarm_timer))
                           .add("resumed_at", s.resumed_at ? json_seconds(*s.resumed_at) : "null")
                           .add("by", s.by.empty() ? std::string("null") : json_string(s.by))
                           .inline_text());
  }

  JsonObject json;
  json.add("exit_status", o.ran && !o.stopped_at_until && !o.interrupted
                              ? std::to_string(o.exit_status)
                              : std::string("null"))
      .add("powered_off", json_bool(o.powered_off))
      .add("poweroff_at", json_or_null(o.poweroff_at, json_seconds))
      .add("rtc_alarm_param",
           o.has_rtc_alarm_param ? json_string(o.rtc_alarm_param) : std::string("null"))
      .add("rtc_wakealarm",
           o.has_rtc_wakealarm ? json_string(o.rtc_wakealarm) : std::string("null"))
      .add("rtc_alarm", json_or_null(o.rtc_alarm, [](int64_t v) { return std::to_string(v); }))
      .add("rtc_wakes", json_bool(o.rtc_wakes))
      .add("properties_set", json_array(properties))
      .add("player_runs", std::to_string(o.player_runs))
      .add("ring_starts", json_array(rings))
      .add("snooze_notes", json_array(notes))
      .add("suspends", json_array(suspends))
      .add("suspend_refusals", std::to_string(o.suspend_refusals))
      .add("screenshots", json_array(shots))
      .add("wake_at", json_seconds(o.wake_at))
      .add("start_at", json_seconds(o.start_at))
      .add("stopped_at_until", json_bool(o.stopped_at_until))
      .add("interrupted", json_bool(o.interrupted))
      .add("virtual_seconds", json_seconds(o.virtual_seconds))
      .add("program_cpu_seconds", json_seconds(o.cpu_seconds))
      .add("program_peak_rss_kb", std::to_string(o.peak_rss_kb))
      .add("audible_seconds", json_seconds(o.audible_seconds));
  if (!o.error.empty()) json.add("error", json_string(o.error));
  return json.file_text();
}

void read_suspend_log(const std::vector<SqliteLogEntry>& entries, SimOutcome* out) {
  for (const SqliteLogEntry& e : entries) {
    double at = static_cast<double>(e.at_us) / 1e6;
    if (e.kind == "suspend") {
      SimSuspend s;
      s.at = at;
      s.alarm_timer = strtod(e.state.c_str(), nullptr) / 1e6;
      out->suspends.push_back(s);
    } else if (e.kind == "resume" && !out->suspends.empty() && !out->suspends.back().resumed_at) {
      out->suspends.back().resumed_at = at;
      out->suspends.back().by = e.state;
    } else if (e.kind == "refused") {
      ++out->suspend_refusals;
    }
  }
}

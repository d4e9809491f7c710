#include "tests/e2e_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>
#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sandbox/sandbox_platform.h"
#include "screen/layout_test_util.h"
#include "sim/sandbox_builder.h"
#include "sim/screenshot.h"

#ifndef ALARM_BUILD_DIR
#define ALARM_BUILD_DIR "."
#endif

namespace {

class JsonParser {
 public:
  explicit JsonParser(const std::string& t) : t_(t) {}
  bool parse(Json* out) {
    if (!value(out)) return false;
    skip();
    return i_ == t_.size();
  }

 private:
  void skip() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\t' || t_[i_] == '\r'))
      ++i_;
  }
  bool lit(const char* w) {
    size_t n = strlen(w);
    if (t_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }
  bool string(std::string* s) {
    if (t_[i_] != '"') return false;
    ++i_;
    while (i_ < t_.size() && t_[i_] != '"') {
      char c = t_[i_++];
      if (c == '\\' && i_ < t_.size()) {
        char e = t_[i_++];
        switch (e) {
          case 'n':
            *s += '\n';
            break;
          case 't':
            *s += '\t';
            break;
          case 'r':
            *s += '\r';
            break;
          case 'u': {
            if (i_ + 4 > t_.size()) return false;
            *s += static_cast<char>(strtol(t_.substr(i_, 4).c_str(), nullptr, 16));
            i_ += 4;
            break;
          }
          default:
            *s += e;
        }
      } else {
        *s += c;
      }
    }
    if (i_ >= t_.size()) return false;
    ++i_;
    return true;
  }
  bool value(Json* v) {
    skip();
    if (i_ >= t_.size()) return false;
    char c = t_[i_];
    if (c == '{') {
      v->type = Json::kObject;
      ++i_;
      skip();
      if (t_[i_] == '}') return ++i_, true;
      for (;;) {
        skip();
        std::string key;
        if (!string(&key)) return false;
        skip();
        if (t_[i_++] != ':') return false;
        if (!value(&v->o[key])) return false;
        skip();
        if (t_[i_] == ',') {
          ++i_;
          continue;
        }
        return t_[i_++] == '}';
      }
    }
    if (c == '[') {
      v->type = Json::kArray;
      ++i_;
      skip();
      if (t_[i_] == ']') return ++i_, true;
      for (;;) {
        v->a.emplace_back();
        if (!value(&v->a.back())) return false;
        skip();
        if (t_[i_] == ',') {
          ++i_;
          continue;
        }
        return t_[i_++] == ']';
      }
    }
    if (c == '"') {
      v->type = Json::kString;
      return string(&v->s);
    }
    if (lit("null")) return v->type = Json::kNull, true;
    if (lit("true")) return v->type = Json::kBool, v->b = true, true;
    if (lit("false")) return v->type = Json::kBool, v->b = false, true;
    char* end = nullptr;
    v->n = strtod(t_.c_str() + i_, &end);
    if (end == t_.c_str() + i_) return false;
    v->type = Json::kNumber;
    i_ = static_cast<size_t>(end - t_.c_str());
    return true;
  }
  const std::string& t_;
  size_t i_ = 0;
};

}  // namespace

double slow_program_slack(double speed) {
  constexpr double kSlowStartSecs = 0.25;
#ifdef ALARM_E2E_SANITIZED
  bool slow = true;
#else
  bool slow = getenv("ALARM_E2E_SLOWDOWN") != nullptr;
#endif
  return slow ? kSlowStartSecs * speed : 0;
}

void slow_down(std::vector<std::string>* argv) {
  const char* text = getenv("ALARM_E2E_SLOWDOWN");
  double factor = text != nullptr ? strtod(text, nullptr) : 1.0;
  if (!(factor > 1.0)) return;
  for (size_t i = 0; i + 1 < argv->size(); ++i) {
    if ((*argv)[i] != "--speed") continue;
    char speed[32];
    snprintf(speed, sizeof speed, "%g", strtod((*argv)[i + 1].c_str(), nullptr) / factor);
    (*argv)[i + 1] = speed;
  }
}

const Json& Json::operator[](const std::string& key) const {
  static const Json null_value;
  auto it = o.find(key);
  return it == o.end() ? null_value : it->second;
}

bool parse_json(const std::string& text, Json* out) {
  return JsonParser(text).parse(out);
}

int SimResult::exit_status() const {
  const Json& v = outcome["exit_status"];
  return v.type == Json::kNumber ? static_cast<int>(v.n) : -1;
}

std::vector<TimelineEvent> SimResult::events(const std::string& word) const {
  std::vector<TimelineEvent> out;
  for (const TimelineEvent& e : timeline) {
    if (e.word == word) out.push_back(e);
  }
  return out;
}

const TimelineEvent* SimResult::first(const std::string& word) const {
  for (const TimelineEvent& e : timeline) {
    if (e.word == word) return &e;
  }
  return nullptr;
}

std::string SimResult::timeline_text() const {
  std::string out;
  for (const TimelineEvent& e : timeline) {
    char head[40];
    snprintf(head, sizeof head, "%.3f ", e.at);
    out += head + e.word + " " + e.details + "\n";
  }
  return out;
}

std::string alarm_sim_path() {
  return std::string(ALARM_BUILD_DIR) + "/sim/alarm-sim";
}

int run_command(const std::vector<std::string>& argv, std::string* out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0 && out) out->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

E2eSandbox::E2eSandbox(const std::vector<std::string>& init_args) {
  char tmpl[] = "/tmp/alarm-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  root_ = tmpl;
  std::vector<std::string> argv = {alarm_sim_path(), "init", root_};
  argv.insert(argv.end(), init_args.begin(), init_args.end());
  // The scenarios say how long one run of the ring file lasts (--play), which only the
  // stand-in player is told; a scenario of the real player asks for it with --player real.
  if (std::find(init_args.begin(), init_args.end(), "--player") == init_args.end()) {
    argv.push_back("--player");
    argv.push_back("standin");
  }
  std::string out;
  if (run_command(argv, &out) != 0) throw std::runtime_error("alarm-sim init failed: " + out);
}

E2eSandbox::~E2eSandbox() {
  if (getenv("ALARM_KEEP_SANDBOX") == nullptr) {
    remove_tree(root_);
  }
}

std::string E2eSandbox::read(const std::string& phone_path) const {
  std::string out;
  read_text_file(path(phone_path), &out);
  return out;
}

void E2eSandbox::write(const std::string& phone_path, const std::string& content) const {
  write_file(path(phone_path), content);
}

std::string E2eSandbox::sql(const std::string& statement) const {
  std::string out;
  run_sqlite(path("/data/data/com.android.deskclock/databases/alarms.db"), statement, &out);
  return out;
}

void E2eSandbox::add_alarm(int id, int hour, int minute, int days, int enabled, int vibrate,
                           const std::string& message, const std::string& alert) const {
  sql(alarm_insert_sql(id, hour, minute, days, enabled, vibrate, message, alert));
}

void E2eSandbox::set_flags(int ring_minutes, const std::string& ring_file,
                           int snooze_minutes) const {
  write("/productinfo/alarm_flag", "alarm_flag 1 " + std::to_string(ring_minutes) + " " +
                                       ring_file + " " + std::to_string(snooze_minutes) + "\n");
}

void E2eSandbox::set_property(const std::string& name, const std::string& value) const {
  set_property_in_file(path("/default.prop"), name, value);
}

SimResult E2eSandbox::run(const std::vector<std::string>& args) const {
  SimResult r;
  std::vector<std::string> argv = {alarm_sim_path(), "run", root_};
  argv.insert(argv.end(), args.begin(), args.end());
  // Unless a scenario says otherwise, the ring file outlasts it: a run of the player ends
  // only when the program stops it.
  if (std::find(args.begin(), args.end(), "--play") == args.end()) {
    argv.push_back("--play");
    argv.push_back("3600");
  }
  slow_down(&argv);
  // An outcome left by an earlier run of the sandbox must not stand in for this one's.
  unlink(path("/sim/outcome.json").c_str());
  r.cli_status = run_command(argv, nullptr);
  // Without a readable outcome every check of it ("not powered off", "no RTC alarm") would
  // hold for nothing.
  if (!parse_json(read("/sim/outcome.json"), &r.outcome) || r.outcome.type != Json::kObject) {
    ADD_FAILURE() << "the run left no readable outcome.json";
  }
  std::string tl = read("/sim/timeline.txt");
  size_t start = 0;
  while (start < tl.size()) {
    size_t end = tl.find('\n', start);
    if (end == std::string::npos) end = tl.size();
    std::string line = tl.substr(start, end - start);
    TimelineEvent e;
    char word[64] = {};
    int consumed = 0;
    if (sscanf(line.c_str(), "%lf %63s %n", &e.at, word, &consumed) >= 2) {
      e.word = word;
      if (consumed > 0 && static_cast<size_t>(consumed) <= line.size())
        e.details = line.substr(consumed);
      r.timeline.push_back(e);
    }
    start = end + 1;
  }
  // A sanitized program that reports a fault fails the scenario, whatever it did next
  // (a power-off ends it with status 0 all the same).
  std::string err = read("/sim/stderr.txt");
  for (const char* report : {"Sanitizer", "runtime error:"}) {
    if (err.find(report) != std::string::npos) ADD_FAILURE() << "the program reported:\n" << err;
  }
  EXPECT_EQ(r.cli_status, 0) << "alarm-sim could not run the program";
  r.kmsg = read("/dev/kmsg");
  r.stdout_text = read("/sim/stdout.txt");
  return r;
}

std::string touch(const std::string& at, const std::string& button) {
  const ScreenLayout& l = *screen_layout(480, 800);
  EXPECT_TRUE(button == "left" || button == "mid" || button == "right") << button;
  const LayoutRect& b = l.buttons[button == "left" ? 0 : button == "mid" ? 1 : 2];
  return at + ":touch:" + std::to_string(b.centre_x()) + "," + std::to_string(b.centre_y());
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int count_between(const SimResult& r, const std::string& word, double from, double to) {
  int n = 0;
  for (const TimelineEvent& e : r.events(word)) n += e.at >= from && e.at < to;
  return n;
}

double lit_share(const std::string& png) {
  Screenshot shot;
  if (!read_png(png, &shot) || shot.width == 0) return -1;
  size_t lit = 0, all = static_cast<size_t>(shot.width) * shot.height;
  for (size_t i = 0; i < all; ++i) {
    const uint8_t* p = &shot.rgba[i * 4];
    lit += (p[0] | p[1] | p[2]) != 0;
  }
  return static_cast<double>(lit) / static_cast<double>(all);
}

LifeRun live_life(const E2eSandbox& sb, const std::vector<std::string>& args) {
  LifeRun l;
  std::vector<std::string> argv = {alarm_sim_path(), "life", sb.root()};
  argv.insert(argv.end(), args.begin(), args.end());
  slow_down(&argv);
  l.cli_status = run_command(argv, &l.out);
  EXPECT_TRUE(parse_json(sb.read("/sim/life.json"), &l.json)) << l.out;
  return l;
}

int life_count(const LifeRun& l, const char* key) {
  return static_cast<int>(l.json["summary"][key].n);
}

int life_rung_in_time(const LifeRun& l) {
  return life_count(l, "on_time") + (slow_program_slack(1) > 0 ? life_count(l, "late") : 0);
}

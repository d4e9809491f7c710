#include "sim/sim_actions.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sandbox/sandbox_files.h"
#include "screen/graphics.h"
#include "sim/fb_capture.h"
#include "sim/sandbox_builder.h"

namespace {

// The longest delay a user policy takes: a day of virtual time.
constexpr double kPolicyDelayLimitSecs = 86400;

// The last button layout the program logged, from the kernel log.
bool button_middle(const std::string& root, const std::string& button, int* x, int* y) {
  std::string kmsg;
  if (!read_text_file(root + SANDBOX_KMSG_FILE, &kmsg)) return false;
  int v[4];
  const char* keys[4] = {"x0", "y0", "x1", "y1"};
  for (int i = 0; i < 4; ++i) {
    std::string needle = "alarm: " + button + "." + keys[i] + " = ";
    size_t at = kmsg.rfind(needle);
    if (at == std::string::npos) return false;
    v[i] = atoi(kmsg.c_str() + at + needle.size());
  }
  *x = (v[0] + v[2]) / 2;
  *y = (v[1] + v[3]) / 2;
  return true;
}

bool send_events(const std::string& device, const std::vector<input_event>& events) {
  UniqueFd fd(open(device.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  size_t bytes = events.size() * sizeof(input_event);
  return write(fd.get(), events.data(), bytes) == static_cast<ssize_t>(bytes);
}

input_event make_event(uint16_t type, uint16_t code, int32_t value) {
  input_event ev = {};
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  ev.input_event_sec = tv.tv_sec;
  ev.input_event_usec = tv.tv_usec;
  ev.type = type;
  ev.code = code;
  ev.value = value;
  return ev;
}

SimAction button_action(SimAction::Kind kind, const char* button, double at) {
  SimAction a;
  a.kind = kind;
  a.button = button;
  a.at = at;
  return a;
}

}  // namespace

// The farthest the wall clock is set in one go: a year.
constexpr double kLongestClockSet = 366.0 * 86400;

bool parse_sim_action(const std::string& text, SimAction* a, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "action \"" + text + "\": " + why;
    return false;
  };
  size_t c1 = text.find(':');
  if (c1 == std::string::npos || c1 == 0) return fail("expected S:WHAT[:ARG]");
  char* end = nullptr;
  a->at = strtod(text.c_str(), &end);
  if (end != text.c_str() + c1 || !(a->at >= 0)) return fail("S must be seconds, 0 or more");
  size_t c2 = text.find(':', c1 + 1);
  std::string what = text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  std::string arg = c2 == std::string::npos ? "" : text.substr(c2 + 1);
  if (what == "tap") {
    if (arg != "left" && arg != "mid" && arg != "right")
      return fail("tap takes left, mid or right");
    a->kind = SimAction::kTap;
    a->button = arg;
  } else if (what == "touch") {
    int consumed = 0;
    if (sscanf(arg.c_str(), "%d,%d%n", &a->x, &a->y, &consumed) != 2 ||
        consumed != static_cast<int>(arg.size())) {
      return fail("touch takes X,Y");
    }
    a->kind = SimAction::kTouch;
  } else if (what == "key") {
    if (arg != "power") return fail("key takes power");
    a->kind = SimAction::kKey;
    a->button = arg;
  } else if (what == "clock") {
    char* stop = nullptr;
    a->set_by = strtod(arg.c_str(), &stop);
    bool signed_number = arg.size() > 1 && (arg[0] == '+' || arg[0] == '-') &&
                         arg.find_first_not_of("0123456789.", 1) == std::string::npos;
    if (!signed_number || *stop != '\0' || a->set_by == 0 ||
        std::fabs(a->set_by) > kLongestClockSet) {
      return fail("clock takes +N or -N seconds, at most a year");
    }
    a->kind = SimAction::kClock;
  } else if (what == "shot") {
    if (arg.empty()) return fail("shot takes a file name");
    a->kind = SimAction::kShot;
    a->file = arg;
  } else {
    return fail("unknown action " + what);
  }
  return true;
}

bool parse_user_policy(const std::string& text, UserPolicy* policy, std::string* error) {
  auto fail = [&]() {
    if (error) {
      *error = "user \"" + text + "\": expected none, ignore, stop:S, snooze-then-stop:S or " +
               "power-key:S";
    }
    return false;
  };
  if (text == "none" || text == "ignore") {
    policy->kind = text == "none" ? UserPolicy::kNone : UserPolicy::kIgnore;
    policy->delay = 0;
    return true;
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos) return fail();
  std::string kind = text.substr(0, colon);
  std::string secs = text.substr(colon + 1);
  char* end = nullptr;
  double delay = strtod(secs.c_str(), &end);
  if (secs.empty() || *end != '\0' || !(delay >= 0) || delay > kPolicyDelayLimitSecs) {
    return fail();
  }
  if (kind == "stop") {
    policy->kind = UserPolicy::kStop;
  } else if (kind == "snooze-then-stop") {
    policy->kind = UserPolicy::kSnoozeThenStop;
  } else if (kind == "power-key") {
    policy->kind = UserPolicy::kPowerKey;
  } else {
    return fail();
  }
  policy->delay = delay;
  return true;
}

std::string user_policy_text(const UserPolicy& policy) {
  char delay[32];
  snprintf(delay, sizeof delay, "%g", policy.delay);
  switch (policy.kind) {
    case UserPolicy::kNone:
      return "none";
    case UserPolicy::kIgnore:
      return "ignore";
    case UserPolicy::kStop:
      return std::string("stop:") + delay;
    case UserPolicy::kSnoozeThenStop:
      return std::string("snooze-then-stop:") + delay;
    case UserPolicy::kPowerKey:
      return std::string("power-key:") + delay;
  }
  return "none";
}

bool user_action_for_ring(const UserPolicy& policy, int ring_index, double ring_at,
                          SimAction* action) {
  double at = ring_at + policy.delay;
  switch (policy.kind) {
    case UserPolicy::kNone:
    case UserPolicy::kIgnore:
      return false;
    case UserPolicy::kStop:
      *action = button_action(SimAction::kTap, "mid", at);
      return true;
    case UserPolicy::kSnoozeThenStop:
      *action = button_action(SimAction::kTap, ring_index == 0 ? "left" : "mid", at);
      return true;
    case UserPolicy::kPowerKey:
      *action = button_action(SimAction::kKey, "power", at);
      return true;
  }
  return false;
}

ActionPerformer::ActionPerformer(const std::string& root, Timeline& timeline)
    : root_(root), timeline_(timeline) {
  for (const char* dev : {SANDBOX_TOUCH_DEVICE, SANDBOX_KEY_DEVICE}) {
    std::string path = root_ + dev;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
      input_writers_.emplace_back(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }
  }
}

std::vector<int> ActionPerformer::input_fds() const {
  std::vector<int> fds;
  for (const UniqueFd& fd : input_writers_) {
    if (fd.get() >= 0) fds.push_back(fd.get());
  }
  return fds;
}

bool ActionPerformer::perform(const SimAction& a, bool backlight_off) {
  switch (a.kind) {
    case SimAction::kTap: {
      int x, y;
      if (!button_middle(root_, a.button, &x, &y)) {
        timeline_.add("touch", a.button + " not laid out yet: nothing sent");
        return false;
      }
      touch(x, y, a.button);
      return false;
    }
    case SimAction::kTouch:
      touch(a.x, a.y, "");
      return false;
    case SimAction::kKey:
    case SimAction::kKeyRelease: {
      bool press = a.kind == SimAction::kKey;
      std::vector<input_event> evs = {make_event(EV_KEY, KEY_POWER, press ? 1 : 0),
                                      make_event(EV_SYN, SYN_REPORT, 0)};
      bool sent = send_events(root_ + SANDBOX_KEY_DEVICE, evs);
      std::string details = press ? "power" : "power released";
      timeline_.add("key", sent ? details : details + ": no key device");
      return false;
    }
    case SimAction::kShot: {
      FbCapture shot;
      bool ok = fb_capture_shown(root_ + FB_DEVICE_PATH, &shot);
      // A dark backlight shows nothing, whatever the buffer holds.
      bool dark = ok && backlight_off;
      if (dark) {
        for (size_t i = 0; i < shot.rgba.size(); ++i) shot.rgba[i] = (i % 4 == 3) ? 255 : 0;
      }
      ok = ok && fb_capture_write_png(shot, a.file);
      timeline_.add("shot", !ok    ? a.file + ": no picture"
                            : dark ? a.file + " (backlight off)"
                                   : a.file);
      return ok;
    }
    case SimAction::kClock:
      break;  // the run's clock is the run's to set
  }
  return false;
}

void ActionPerformer::touch(int x, int y, const std::string& button) {
  std::vector<input_event> evs = {make_event(EV_ABS, ABS_X, x), make_event(EV_ABS, ABS_Y, y),
                                  make_event(EV_SYN, SYN_REPORT, 0)};
  bool sent = send_events(root_ + SANDBOX_TOUCH_DEVICE, evs);
  std::string details = std::to_string(x) + "," + std::to_string(y);
  if (!button.empty()) details += " " + button;
  if (!sent) details += ": no touch device";
  timeline_.add("touch", details);
}

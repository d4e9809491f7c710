// What the simulator does to the program: scripted actions at set virtual seconds, a user
// who acts relative to each ring start, and their delivery through the sandbox's input
// devices (touches, the power key) and display (screenshots).
#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "sim/sim_timeline.h"

struct SimAction {
  // kKeyRelease is no scripted action: the release that follows each power key press.
  enum Kind { kTap, kTouch, kKey, kShot, kClock, kKeyRelease };
  double at = 0;  // virtual seconds since the program started
  Kind kind = kTap;
  std::string button;  // tap: left, mid or right; key: power
  int x = 0;
  int y = 0;
  std::string file;   // shot
  double set_by = 0;  // clock: seconds the wall clock is set forward (back when negative)
};

// A person holds the power key this long (virtual seconds): the key's release reaches the
// program as events of their own, after the program may have answered the press.
constexpr double SIM_KEY_HOLD_SECS = 0.15;

// Parses "S:tap:left", "S:touch:X,Y", "S:key:power", "S:shot:FILE.png" or "S:clock:+N"
// ("S:clock:-N": the wall clock is set N seconds forward or back, as an RTC correction or a
// person would); false with a reason in `error` when it does not parse.
bool parse_sim_action(const std::string& text, SimAction* action, std::string* error);

// A user who answers each ring: nothing ("none", or "ignore" said outright), the middle
// button S virtual seconds after each ring starts ("stop:S"), the left button S seconds
// after the run's first ring start and the middle button S seconds after each later one
// ("snooze-then-stop:S"), or the power key S seconds after each ring start ("power-key:S").
struct UserPolicy {
  enum Kind { kNone, kIgnore, kStop, kSnoozeThenStop, kPowerKey };
  Kind kind = kNone;
  double delay = 0;
};
bool parse_user_policy(const std::string& text, UserPolicy* policy, std::string* error);
std::string user_policy_text(const UserPolicy& policy);
// The user's action for the ring that started at `ring_at` (virtual seconds), the
// `ring_index`th of the run counted from 0; false when the user does nothing.
bool user_action_for_ring(const UserPolicy& policy, int ring_index, double ring_at,
                          SimAction* action);

// Delivers actions to a running program in the sandbox at `root`, noting each on the
// timeline.
class ActionPerformer {
 public:
  ActionPerformer(const std::string& root, Timeline& timeline);
  // Touches and keys go through the sandbox's FIFOs, kept open for the run so that what is
  // sent before the program opens them waits there. A screenshot taken while the backlight
  // is off shows black. True when a screenshot was written.
  bool perform(const SimAction& action, bool backlight_off);
  // The input devices' FIFOs, held open for the run: readable while the program has not
  // read all that was sent.
  std::vector<int> input_fds() const;

 private:
  void touch(int x, int y, const std::string& button);

  std::string root_;
  Timeline& timeline_;
  std::vector<UniqueFd> input_writers_;
};

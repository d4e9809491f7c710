// The program's peers in a sandbox, on one thread of their own: the property service, the
// ring player's reports, and the watched controls and files (vibrator, backlight, the RTC
// alarm, the snooze note), each event put on the timeline; and the RTC's clock (alarm_op),
// kept by the run's own thread, which also decides the jumps of a jumping clock. The
// thread's waits are the run clock's, so a jump waits until it has handled what came.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"
#include "sim/sim_outcome.h"
#include "sim/sim_timeline.h"

struct SimServicesConfig {
  std::string root;          // the sandbox
  double play_seconds = 30;  // how long one run of the ring file lasts (virtual)
  bool property_service = true;
  bool rtc_op_fixed = false;  // alarm_op holds rtc_op_text all along, not the RTC's time
  std::string rtc_op_text;
  bool rtc_standard = false;  // no alarm_op: the RTC offers only the standard wakealarm
};

// The start of a ring: the first player start of a ring controller.
struct SimRingStart {
  double at = 0;  // virtual seconds since the program started
  long controller = 0;
};

class SimServices {
 public:
  SimServices(const SimServicesConfig& config, const RunClock& clock, Timeline& timeline);
  ~SimServices();
  SimServices(const SimServices&) = delete;
  SimServices& operator=(const SimServices&) = delete;

  bool start(std::string* error);
  // Handles everything the program left pending (it has ended), stops the thread and
  // restores the controls.
  void stop();

  // Readable after a ring start; take_ring_starts() empties it.
  int ring_event_fd() const { return ring_event_.get(); }
  // The ring starts not taken before.
  std::vector<SimRingStart> take_ring_starts();
  bool has_ring_starts();
  // alarm_op gives the RTC's time, the virtual epoch second: rewritten when the second has
  // changed. Called by one thread at a time, the run's.
  void keep_rtc();
  // Whether alarm_op follows the clock (not a fixed text).
  bool rtc_follows_clock() const { return !config_.rtc_op_fixed && !config_.rtc_standard; }

  std::vector<std::pair<std::string, std::string>> properties();
  int player_runs() const { return player_runs_; }
  std::vector<SimRingStart> ring_starts();
  std::vector<SimSnoozeNote> snooze_notes();
  // Whether the backlight was last switched off (written "0").
  bool backlight_off();

 private:
  // A control file that the program writes and the simulator keeps a history of: a FIFO for
  // the time of the run, a plain file with the last value afterwards.
  struct WatchedControl {
    std::string path;
    std::string word;
    UniqueFd fd;
    std::string last;
    bool replaced = false;
  };

  void loop();
  // One look at every source; true when anything was handled. `wait` blocks until then.
  bool pass(bool wait);
  void serve_property();
  void accept_player();
  void player_event(int conn);
  void read_control(WatchedControl& c);
  void read_inotify();
  void rtc_alarm_written(const char* phone_path);
  void snooze_note_written();
  // When a file was last written, on the run's clock: the moment it was noticed, moved back
  // by the lag of its modification time behind the wall clock.
  double written_at(const std::string& path) const;

  SimServicesConfig config_;
  const RunClock& clock_;
  Timeline& timeline_;
  UniqueFd wake_;
  UniqueFd ring_event_;
  UniqueFd property_;
  UniqueFd player_;
  UniqueFd inotify_;
  int rtc_watch_ = -1;
  int note_watch_ = -1;
  std::vector<WatchedControl> controls_;
  std::map<int, long> players_;  // connection -> player pid
  std::set<long> controllers_;   // ring controllers seen
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> player_runs_{0};
  int64_t rtc_secs_ = -1;
  UniqueFd rtc_op_files_[2];  // alarm_op's two files, written in turn
  int rtc_op_next_ = 0;
  ino_t note_inode_ = 0;  // the snooze note last taken
  timespec note_mtime_ = {};

  std::mutex mu_;  // guards what follows
  std::vector<std::pair<std::string, std::string>> properties_;
  std::vector<SimRingStart> rings_;
  size_t rings_taken_ = 0;
  std::vector<SimSnoozeNote> notes_;
  bool backlight_off_ = false;
};

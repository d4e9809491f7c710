#include "sim/sim_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include "alarm/alarm_db.h"
#include "alarm/alarm_rtc.h"
#include "devices/music.h"
#include "sandbox/sandbox_files.h"
#include "sandbox/sandbox_jumps.h"
#include "sandbox/sandbox_platform.h"
#include "sandbox/sandbox_sound.h"
#include "sim/sandbox_builder.h"
#ifdef ALARM_SOUND_TRACK
#include "sim/sound_sink.h"
#endif
#include "sim/sim_services.h"

extern char** environ;

namespace {
// The signal that ends a run early, set by its handler; read by the run and by callers.
std::atomic<int> g_interrupt_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written by a signal handler");

void note_interrupt(int sig) {
  g_interrupt_signal.store(sig);
}

// For the length of a run, SIGINT, SIGTERM and SIGHUP are blocked and taken only while the
// run waits (ppoll with wait_mask), so that they end the run in order: the program and all
// it left are ended and reaped, the sandbox's sqlite3 is put back, the outcome is written.
// A signal the caller ignores (nohup) stays ignored. The program starts with the caller's
// mask. The jumping clock's signal, by which a participant that starts to wait wakes the
// run, is taken the same way.
class InterruptWatch {
 public:
  InterruptWatch() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    sigaddset(&set, JUMP_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &set, &old_mask_);
    wait_mask_ = old_mask_;
    sigdelset(&wait_mask_, JUMP_SIGNAL);
    install_jump_signal_handler();
    struct sigaction watch = {};
    watch.sa_handler = note_interrupt;
    sigemptyset(&watch.sa_mask);
    for (size_t i = 0; i < kCount; ++i) {
      sigaction(kSignals[i], nullptr, &old_actions_[i]);
      if (old_actions_[i].sa_handler == SIG_IGN) continue;
      sigaction(kSignals[i], &watch, nullptr);
      sigdelset(&wait_mask_, kSignals[i]);
    }
  }
  ~InterruptWatch() {
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);  // one still pending is noted here
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &old_actions_[i], nullptr);
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  const sigset_t* wait_mask() const { return &wait_mask_; }
  const sigset_t* program_mask() const { return &old_mask_; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  static constexpr size_t kCount = sizeof kSignals / sizeof *kSignals;
  sigset_t old_mask_;
  sigset_t wait_mask_;
  struct sigaction old_actions_[kCount];
};

constexpr char kProgramName[] = "poweroff_alarm_sandbox";
constexpr char kProgramArg0[] = "poweroff_alarm";
constexpr char kPlayerStandinName[] = "alarm-player-standin";
constexpr char kPlayerName[] = "alarm-player";
constexpr char kStdoutFile[] = "/sim/stdout.txt";
constexpr char kStderrFile[] = "/sim/stderr.txt";
constexpr char kOutcomeFile[] = "/sim/outcome.json";
constexpr char kTimelineFile[] = "/sim/timeline.txt";
constexpr int kExecFailedStatus = 127;
constexpr int kSignalStatusBase = 128;
constexpr int64_t kUsPerSecond = 1000000;
// When something runs that will not say when it stops (a thread the kernel has woken but
// that has not yet run, a process of another program), the run looks again after this,
// twice as long each time up to the longest.
constexpr int64_t kFirstLookAgainNs = 50000;
constexpr int64_t kLongestLookAgainNs = 5000000;
// Without news the run looks again at least this often: a process that ended while it
// ran, unseen, leaves a slot that says it runs.
constexpr int64_t kLookAtLeastEveryNs = 20000000;
// Process numbers cannot have gone all the way round in this much real time.
constexpr int64_t kRecentNs = 500000000;

double cpu_seconds(const struct rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A process as /proc/PID/stat tells it.
struct ProcStat {
  pid_t pid;
  char state;  // 'Z': ended, waiting to be reaped
  long pgrp;
  long session;
  double cpu_seconds;  // its own and that of the children it reaped
};

// The processes numbered `from` or higher (all of them when 0).
std::vector<ProcStat> read_proc_stats(pid_t from = 0) {
  std::vector<ProcStat> out;
  UniqueDir d(opendir("/proc"));
  if (!d) return out;
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  while (dirent* e = readdir(d.get())) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    if (atol(e->d_name) < from) continue;
    std::string stat;
    if (!read_text_file(std::string("/proc/") + e->d_name + "/stat", &stat)) continue;
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    ProcStat p = {};
    long ppid, tty, tpgid;
    unsigned long flags, minflt, cminflt, majflt, cmajflt, utime, stime;
    long cutime, cstime;
    if (sscanf(stat.c_str() + close_paren + 1,
               " %c %ld %ld %ld %ld %ld %lu %lu %lu %lu %lu %lu %lu %ld %ld", &p.state, &ppid,
               &p.pgrp, &p.session, &tty, &tpgid, &flags, &minflt, &cminflt, &majflt, &cmajflt,
               &utime, &stime, &cutime, &cstime) != 15) {
      continue;
    }
    p.pid = static_cast<pid_t>(atol(e->d_name));
    p.cpu_seconds = static_cast<double>(utime + stime + cutime + cstime) / ticks;
    out.push_back(p);
  }
  return out;
}

// CPU time of the live processes of a process group: what the program left running, where
// the simulator cannot reap it itself.
double group_cpu_seconds(pid_t pgid) {
  double total = 0;
  for (const ProcStat& p : read_proc_stats()) {
    if (p.pgrp == pgid) total += p.cpu_seconds;
  }
  return total;
}

// Every process of a session: the program and all it started, also the tools it runs in
// process groups of their own, and those that have ended and wait to be reaped. Those were
// all made after the session's leader, so when process numbers cannot have wrapped around
// since (`recent`: it was made moments ago), only higher numbers are read.
std::vector<ProcStat> session_processes(pid_t sid, bool recent) {
  pid_t from = 0;
  std::string last;
  if (recent && read_text_file("/proc/sys/kernel/ns_last_pid", &last) &&
      atol(last.c_str()) >= sid) {
    from = sid;
  }
  std::vector<ProcStat> found;
  for (const ProcStat& p : read_proc_stats(from)) {
    if (p.session == sid) found.push_back(p);
  }
  return found;
}

std::string number_text(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// The sandbox's sqlite3 is a link to the host's tool; under a sqlite3 fault, for the run
// only, a link to the stand-in that acts the fault out.
bool is_sqlite_standin_link(const std::string& link) {
  char target[4096];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  std::string t(target, static_cast<size_t>(n));
  std::string suffix = std::string("/") + SQLITE_STANDIN_NAME;
  return t.size() >= suffix.size() &&
         t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void restore_sqlite_link(const std::string& root) {
  std::string link = root + SQLITE_TOOL_PATH;
  if (!is_sqlite_standin_link(link)) return;
  std::string host = find_in_path("sqlite3");
  unlink(link.c_str());
  if (!host.empty()) symlink(host.c_str(), link.c_str());
}

// Waits for the program on a thread of its own and says so on an eventfd, so the run's
// loop sleeps until the program ends, an action is due or a ring starts.
class ProgramReaper {
 public:
  bool start(pid_t pid) {
    event_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (event_.get() < 0) return false;
    thread_ = std::thread([this, pid] {
      int status = 0;
      struct rusage usage = {};
      pid_t r;
      do {
        r = wait4(pid, &status, 0, &usage);
      } while (r < 0 && errno == EINTR);
      status_ = status;
      usage_ = usage;
      ended_ns_ = VirtualClock::monotonic_ns();
      done_ = true;
      uint64_t one = 1;
      ssize_t ignored = write(event_.get(), &one, sizeof one);
      (void)ignored;
    });
    return true;
  }
  ~ProgramReaper() { join(); }
  int event_fd() const { return event_.get(); }
  bool done() const { return done_; }
  // After join(): how the program ended.
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  int status() const { return status_; }
  const struct rusage& usage() const { return usage_; }
  int64_t ended_ns() const { return ended_ns_; }

 private:
  UniqueFd event_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  int status_ = 0;
  struct rusage usage_ = {};
  int64_t ended_ns_ = 0;
};

class SimRun {
 public:
  explicit SimRun(const SimRunOptions& o) : o_(o) {}

  SimOutcome run() {
    SimOutcome out;
    if (!prepare(&out)) return finish(&out);
    std::string record = o_.jump ? o_.root + SANDBOX_CLOCK_RECORD : "";
    clock_ = std::make_unique<RunClock>(start_us_, o_.speed, o_.slow, record);
    if (o_.jump && !clock_->jumping()) {
      out.error = "cannot make the clock's record " + record;
      clock_.reset();
      return finish(&out);
    }
    timeline_ = std::make_unique<Timeline>(*clock_);
    SimServicesConfig config;
    config.root = o_.root;
    config.play_seconds = o_.play_seconds;
    config.property_service = o_.property_service;
    config.rtc_op_fixed = o_.rtc_op_fixed;
    config.rtc_op_text = o_.rtc_op_text;
    config.rtc_standard = o_.rtc_standard;
    services_ = std::make_unique<SimServices>(config, *clock_, *timeline_);
    if (!services_->start(&out.error)) return finish(&out);
    performer_ = std::make_unique<ActionPerformer>(o_.root, *timeline_);
    // Processes the program leaves behind become the simulator's to reap and account.
    subreaper_ = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    if (!spawn(&out)) return finish(&out);
    out.ran = true;
    std::string start =
        "at=" + local_time_text(start_us_ / 1000000) + " speed=" + number_text(o_.speed);
    if (o_.boot_seconds > 0) start += " boot=" + number_text(o_.boot_seconds);
    timeline_->add_at(0, "start", start);
    play(&out);
    end_program(&out);
    return finish(&out);
  }

 private:
  bool fail(SimOutcome* out, const std::string& why) {
    out->error = why;
    return false;
  }

  bool prepare(SimOutcome* out) {
    if (!sandbox_root_is_safe(o_.root)) {
      return fail(out, "sandbox path must be absolute and made of letters, digits and / . _ - +");
    }
    struct stat st;
    if (stat((o_.root + SANDBOX_PROPERTY_FILE).c_str(), &st) != 0) {
      return fail(out, o_.root + " is not a sandbox (run alarm-sim init first)");
    }
    if (!(o_.speed > 0) || !std::isfinite(o_.speed)) return fail(out, "--speed must be above 0");
    if (!(o_.boot_seconds >= 0) || !std::isfinite(o_.boot_seconds)) {
      return fail(out, "--boot must be 0 or more seconds");
    }
    if (!(o_.rtc_min_lead >= 0) || !std::isfinite(o_.rtc_min_lead)) {
      return fail(out, "--rtc-min-lead must be 0 or more seconds");
    }
    if (!use_time_zone(o_.tz)) return fail(out, "unknown time zone " + o_.tz);
    if (!valid_zone_source(o_.zone_from)) {
      return fail(out, "--zone-from takes property, store or none");
    }
    if (!o_.zone_from.empty() && !place_time_zone(o_.root, o_.zone_from, o_.tz)) {
      return fail(out, "cannot lay the time zone in " + o_.root);
    }
    if (o_.start_us >= 0) {
      start_us_ = o_.start_us;
    } else if (o_.at.empty()) {
      start_us_ = static_cast<int64_t>(time(nullptr)) * 1000000;
    } else {
      start_us_ = parse_local_time_us(o_.at.c_str());
      if (start_us_ < 0) return fail(out, "--at must read YYYY-MM-DD HH:MM:SS");
    }
    wake_us_ = start_us_ - static_cast<int64_t>(std::llround(o_.boot_seconds * 1e6));
    program_ = o_.program.empty() ? self_dir() + "/" + kProgramName : o_.program;
    if (access(program_.c_str(), X_OK) != 0) return fail(out, "cannot run " + program_);

    faults_ = o_.poweroff_returns ? "poweroff-returns" : "";
    for (const std::string& f : o_.faults) faults_ += (faults_.empty() ? "" : ",") + f;
    SandboxFaults faults;
    parse_sandbox_faults(faults_, &faults, nullptr);

    make_dirs(o_.root + "/sim");
    for (const char* f : {kOutcomeFile, kTimelineFile, SANDBOX_POWEROFF_RECORD, SANDBOX_PLAYER_LOG,
                          SANDBOX_SQLITE_LOG, SANDBOX_SUSPEND_LOG}) {
      unlink((o_.root + f).c_str());
    }
    clear_sandbox_sound(o_.root);  // the run's sound files count from 1
    write_file(o_.root + SANDBOX_KMSG_FILE, "");
    write_file(o_.root + RTC_ALARM_PARAM_PATH, "");
    write_file(o_.root + RTC_WAKEALARM_PATH, "");
    restore_sqlite_link(o_.root);
    warn_of_an_older_player();
    if (faults.any_sqlite()) {
      std::string dir = program_.substr(0, program_.rfind('/'));
      std::string standin = dir + "/" + SQLITE_STANDIN_NAME;
      std::string link = o_.root + SQLITE_TOOL_PATH;
      if (access(standin.c_str(), X_OK) != 0) return fail(out, "cannot run " + standin);
      unlink(link.c_str());
      if (symlink(standin.c_str(), link.c_str()) != 0) {
        return fail(out, "cannot put the sqlite3 stand-in at " + link);
      }
    }
    return true;
  }

  // A sandbox keeps the player (or stand-in) `alarm-sim init` copied into it: one older
  // than this simulator reports its starts in a form it may not read, or on a clock without
  // the run's slow stretches. Said once a process.
  void warn_of_an_older_player() {
    static bool warned = false;
    if (warned) return;
    struct stat standin, real, theirs;
    if (stat((self_dir() + "/" + kPlayerStandinName).c_str(), &standin) != 0 ||
        stat((self_dir() + "/" + kPlayerName).c_str(), &real) != 0 ||
        lstat((o_.root + MUSIC_PLAYER_PATH).c_str(), &theirs) != 0 || !S_ISREG(theirs.st_mode) ||
        theirs.st_size == standin.st_size || theirs.st_size == real.st_size) {
      return;
    }
    warned = true;
    fprintf(stderr,
            "alarm-sim: the sandbox's player differs from this alarm-sim's; run "
            "alarm-sim init again if its rings are not recorded\n");
  }

  bool spawn(SimOutcome* out) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, SANDBOX_ENV_PREFIX, strlen(SANDBOX_ENV_PREFIX)) != 0 &&
          strncmp(*e, "TZ=", 3) != 0) {
        env.push_back(*e);
      }
    }
    SandboxEnvironment sandbox;
    sandbox.root = o_.root;
    sandbox.start_us = clock_->start_us();
    sandbox.mono_start_ns = clock_->mono_start_ns();
    sandbox.speed = clock_->speed();
    sandbox.slow = clock_->slow();
    if (clock_->jumping()) sandbox.clock_record = o_.root + SANDBOX_CLOCK_RECORD;
    sandbox.wake_us = wake_us_;
    sandbox.faults = faults_;
    for (const std::string& entry : sandbox_environment_entries(sandbox)) env.push_back(entry);
    // A phone's init gives its programs no TZ: with --zone-from the program finds the zone
    // where the phone keeps it.
    if (o_.zone_from.empty()) env.push_back("TZ=" + o_.tz);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string out_path = o_.root + kStdoutFile;
    std::string err_path = o_.root + kStderrFile;
    char arg0[sizeof kProgramArg0];
    memcpy(arg0, kProgramArg0, sizeof arg0);
    char* argv[] = {arg0, nullptr};

    // In the clock's account from the start: the program runs until it first waits.
    child_ = clock_->fork_process();
    spawned_ns_ = VirtualClock::monotonic_ns();
    if (child_ < 0) return fail(out, "fork failed");
    if (child_ == 0) {
      setsid();  // a session of its own: everything the program starts can be found again
      pthread_sigmask(SIG_SETMASK, interrupts_.program_mask(), nullptr);
      int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int null = open("/dev/null", O_RDONLY);
      if (o >= 0) dup2(o, 1);
      if (e >= 0) dup2(e, 2);
      if (null >= 0) dup2(null, 0);
      execve(program_.c_str(), argv, envp.data());
      _exit(kExecFailedStatus);
    }
    if (!reaper_.start(child_)) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
      return fail(out, "eventfd");
    }
#ifdef SYS_pidfd_open
    program_fd_.reset(static_cast<int>(syscall(SYS_pidfd_open, child_, 0)));
#endif
    return true;
  }

  // Whether the program has ended (its reaper may not have said so yet).
  bool program_ended() {
    if (reaper_.done()) return true;
    if (program_fd_.get() >= 0) {
      pollfd p = {program_fd_.get(), POLLIN, 0};
      return poll(&p, 1, 0) > 0;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(child_));
    std::string stat;
    if (!read_text_file(path, &stat)) return true;
    size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= stat.size() ||
           stat[close_paren + 2] == 'Z';
  }

  // Plays the scripted actions and the user until the program ends or --until, and keeps
  // the RTC's time. On a jumping clock this thread also decides the jumps: when every
  // participant waits and no other process of the program runs, the clock moves at once to
  // the earliest deadline, the next action and --until included, and the waiters that are
  // due are woken; while anything runs, time runs at the run's speed.
  void play(SimOutcome* out) {
    std::multimap<double, SimAction> due;  // equal times keep the given order
    for (const SimAction& a : o_.actions) due.emplace(a.at, a);
    int rings = 0;
    JumpDecider* decider = clock_->decider();
    if (decider != nullptr) {
      decider->trust(child_);
      decider->watch_input(performer_->input_fds());
    }
    int64_t look_again_ns = kFirstLookAgainNs;
    bool jumped = false;
    for (;;) {
      if (reaper_.done()) return;
      if (g_interrupt_signal.load() != 0) {
        out->interrupted = true;
        return;
      }
      for (const SimRingStart& ring : services_->take_ring_starts()) {
        SimAction a;
        if (user_action_for_ring(o_.user, rings++, ring.at, &a)) due.emplace(a.at, a);
      }
      services_->keep_rtc();  // before anyone due at this moment is woken
      double now = clock_->elapsed();
      if (o_.until >= 0 && now >= o_.until) {
        out->stopped_at_until = true;
        return;
      }
      if (!due.empty() && due.begin()->first <= now) {
        SimAction a = due.begin()->second;
        due.erase(due.begin());
        if (a.kind == SimAction::kClock) {
          set_clock(a.set_by);
        } else if (performer_->perform(a, services_->backlight_off())) {
          out->screenshots.push_back(a.file);
        }
        if (a.kind == SimAction::kKey) {
          a.kind = SimAction::kKeyRelease;
          a.at += SIM_KEY_HOLD_SECS;
          due.emplace(a.at, a);
        }
        continue;
      }
      // The run's own next moment: an action or --until.
      int64_t next_us = INT64_MAX;
      if (!due.empty()) next_us = virtual_us_of(due.begin()->first);
      if (o_.until >= 0) next_us = std::min(next_us, virtual_us_of(o_.until));
      // It wakes in real time at that moment, at the RTC's next second, or when a waiter is
      // due.
      int64_t wake_us = next_us;
      if (services_->rtc_follows_clock()) {
        wake_us = std::min(wake_us, (clock_->virtual_us() / kUsPerSecond + 1) * kUsPerSecond);
      }
      int64_t look_again_at_ns = INT64_MAX;
      if (decider != nullptr) {
        // Right after a jump nothing has run: the waiters it reached are woken at once, and
        // tell when they wait again.
        JumpDecider::Look look;
        if (!jumped) look = decider->look();
        if (look.quiet && !services_->has_ring_starts() && !program_ended()) {
          int64_t target = std::min(look.earliest_us, next_us);
          if (target != INT64_MAX && target > clock_->virtual_us()) {
            decider->jump_to(target);
            look_again_ns = kFirstLookAgainNs;
            jumped = true;
            continue;
          }
        }
        jumped = false;
        decider->wake_due(clock_->virtual_us());
        wake_us = std::min(wake_us, look.earliest_us);
        int64_t mono = VirtualClock::monotonic_ns();
        if (look.look_again) {
          look_again_at_ns = mono + look_again_ns;
          look_again_ns = std::min(look_again_ns * 2, kLongestLookAgainNs);
        } else {
          look_again_at_ns = mono + kLookAtLeastEveryNs;
          look_again_ns = kFirstLookAgainNs;
        }
      }
      std::vector<pollfd> fds = {{reaper_.event_fd(), POLLIN, 0},
                                 {services_->ring_event_fd(), POLLIN, 0}};
      if (decider != nullptr) {
        for (int fd : decider->process_fds()) fds.push_back({fd, POLLIN, 0});
      }
      int64_t wake_ns = std::min(clock_->mono_ns_at_virtual_us(wake_us), look_again_at_ns);
      struct timespec timeout;
      struct timespec* wait = nullptr;
      if (wake_ns != INT64_MAX) {
        int64_t ns = wake_ns - VirtualClock::monotonic_ns();
        if (ns < 0) ns = 0;
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
        wait = &timeout;
      }
      ppoll(fds.data(), fds.size(), wait, interrupts_.wait_mask());
    }
  }

  int64_t virtual_us_of(double elapsed_secs) const {
    return start_us_ + static_cast<int64_t>(std::llround(elapsed_secs * 1e6));
  }

  // Ends the run: the program (stopped at --until) and everything it left behind, each
  // process reaped and its CPU time counted.
  void end_program(SimOutcome* out) {
    out->virtual_seconds = clock_->elapsed();
    double left_running = 0;
    if (!subreaper_) left_running = group_cpu_seconds(child_);
    if (out->stopped_at_until || out->interrupted) {
      kill(-child_, SIGKILL);
      timeline_->add("exit", out->interrupted ? "stopped by the simulator: interrupted"
                                              : "stopped by the simulator at --until");
    }
    reaper_.join();
    const int status = reaper_.status();
    out->peak_rss_kb = reaper_.usage().ru_maxrss;
    out->cpu_seconds = cpu_seconds(reaper_.usage());
    if (!out->stopped_at_until && !out->interrupted) {
      if (WIFEXITED(status)) {
        out->exit_status = WEXITSTATUS(status);
      } else if (WIFSIGNALED(status)) {
        out->exit_status = kSignalStatusBase + WTERMSIG(status);
      }
      out->virtual_seconds = clock_->elapsed_at_mono_ns(reaper_.ended_ns());
      timeline_->add_at(out->virtual_seconds, "exit", "status=" + std::to_string(out->exit_status));
    }
    // A live program's /proc figures already hold what it had reaped.
    if (!subreaper_)
      out->cpu_seconds = out->stopped_at_until || out->interrupted
                             ? left_running
                             : out->cpu_seconds + left_running;
    // Whatever the program left behind: controller, player, tools, also those in process
    // groups of their own. As their subreaper the simulator reaps them.
    // A process whose parent is ended with it becomes the simulator's a moment later: a few
    // passes reap them all.
    constexpr int kReapPasses = 5;
    for (int pass = 0; pass < kReapPasses; ++pass) {
      std::vector<ProcStat> left =
          session_processes(child_, VirtualClock::monotonic_ns() - spawned_ns_ < kRecentNs);
      if (left.empty()) break;
      for (const ProcStat& p : left) {
        if (p.state != 'Z') kill(p.pid, SIGKILL);
      }
      if (!subreaper_) break;
      for (const ProcStat& p : left) {
        int st;
        struct rusage usage;
        pid_t r;
        do {
          r = wait4(p.pid, &st, 0, &usage);
        } while (r < 0 && errno == EINTR);
        if (r == p.pid) out->cpu_seconds += cpu_seconds(usage);
      }
    }
  }

  // Sets the wall clock of the run (the jumping clock's alone: without jumps the clock of
  // every process is its own).
  void set_clock(double seconds) {
    char text[64];
    snprintf(text, sizeof text, "set %+.3f s", seconds);
    if (!clock_->jumping()) {
      timeline_->add("clock", std::string(text) + ": not without jumps");
      return;
    }
    timeline_->add("clock", text);
    clock_->decider()->set_clock(std::llround(seconds * 1e6));
  }

  SimOutcome finish(SimOutcome* out) {
    if (services_) {
      services_->stop();
      out->properties_set = services_->properties();
      out->player_runs = services_->player_runs();
      for (const SimRingStart& ring : services_->ring_starts()) {
        out->ring_starts.push_back(clock_->epoch_seconds_at(ring.at));
      }
      out->snooze_notes = services_->snooze_notes();
    }
    performer_.reset();
    if (!o_.root.empty() && sandbox_root_is_safe(o_.root)) restore_sqlite_link(o_.root);
    if (clock_ == nullptr) return *out;

    out->wake_at = static_cast<double>(wake_us_) / 1e6;
    out->start_at = static_cast<double>(start_us_) / 1e6;
    SandboxPoweroff poweroff;
    if (read_sandbox_poweroff(o_.root, &poweroff)) {
      out->powered_off = true;
      out->poweroff_at = static_cast<double>(poweroff.at_us) / 1e6;
      timeline_->add_at(clock_->elapsed_at_virtual_us(poweroff.at_us), "poweroff",
                        poweroff.synced ? "after sync" : "without sync");
    }
    std::string param;
    std::string param_path = o_.root + RTC_ALARM_PARAM_PATH;
    struct stat st;
    if (stat(param_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        read_text_file(param_path, &param) && !param.empty()) {
      out->has_rtc_alarm_param = true;
      out->rtc_alarm_param = param;
      out->rtc_alarm = rtc_seconds(param);
    }
    // The standard interface: "0" is no alarm (it clears one).
    std::string wake;
    std::string wake_path = o_.root + RTC_WAKEALARM_PATH;
    if (stat(wake_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        read_text_file(wake_path, &wake) && !wake.empty()) {
      out->has_rtc_wakealarm = true;
      out->rtc_wakealarm = wake;
      std::optional<int64_t> secs = rtc_seconds(wake);
      if (!out->rtc_alarm && secs && *secs != 0) out->rtc_alarm = secs;
    }
    out->rtc_wakes = rtc_alarm_wakes(out->rtc_alarm, out->poweroff_at, o_.rtc_min_lead);
    std::string sqlite_log;
    if (read_text_file(o_.root + SANDBOX_SQLITE_LOG, &sqlite_log)) {
      for (const SqliteLogEntry& e : parse_sqlite_log(sqlite_log)) {
        timeline_->add_at(clock_->elapsed_at_virtual_us(e.at_us), "sqlite", e.kind + " " + e.state);
      }
    }
    std::string suspend_log;
    if (read_text_file(o_.root + SANDBOX_SUSPEND_LOG, &suspend_log)) {
      std::vector<SqliteLogEntry> entries = parse_sqlite_log(suspend_log);
      read_suspend_log(entries, out);
      for (const SqliteLogEntry& e : entries) {
        std::string details = e.state;
        if (e.kind == "suspend") {
          char at[48];
          snprintf(at, sizeof at, "alarm timer at %.3f",
                   clock_->elapsed_at_virtual_us(strtoll(e.state.c_str(), nullptr, 10)));
          details = at;
        } else if (e.kind == "resume") {
          details = "by " + e.state;
        }
        timeline_->add_at(clock_->elapsed_at_virtual_us(e.at_us),
                          e.kind == "refused" ? "suspend-refused" : e.kind, details);
      }
    }
#ifdef ALARM_SOUND_TRACK
    // What the sound sink kept: each stretch of sound heard, from its samples.
    const std::vector<HeardSound> heard = heard_sounds(o_.root + "/sim");
    for (const HeardSound& h : heard) {
      const std::string stream = "sound-" + std::to_string(h.stream) + ".wav";
      timeline_->add_at(clock_->elapsed_at_virtual_us(static_cast<int64_t>(h.on * 1e6)), "sound-on",
                        stream);
      timeline_->add_at(clock_->elapsed_at_virtual_us(static_cast<int64_t>(h.off * 1e6)),
                        "sound-off", stream);
    }
    out->audible_seconds = audible_seconds(heard);
#endif
    out->timeline = timeline_->sorted();
    write_file(o_.root + kTimelineFile, format_timeline(out->timeline));
    write_file(o_.root + kOutcomeFile, format_outcome_json(*out));
    return *out;
  }

  InterruptWatch interrupts_;  // first: it covers the whole run
  SimRunOptions o_;
  std::string program_;
  std::string faults_;
  int64_t start_us_ = 0;
  int64_t wake_us_ = 0;
  std::unique_ptr<RunClock> clock_;
  std::unique_ptr<Timeline> timeline_;
  std::unique_ptr<SimServices> services_;
  std::unique_ptr<ActionPerformer> performer_;
  ProgramReaper reaper_;
  UniqueFd program_fd_;  // readable when the program has ended, where the kernel has pidfds
  bool subreaper_ = false;
  pid_t child_ = -1;
  int64_t spawned_ns_ = 0;
};

}  // namespace

SimOutcome run_simulation(const SimRunOptions& options) {
  return SimRun(options).run();
}

int sim_interrupt_signal() {
  return g_interrupt_signal.load();
}

#include "sandbox/sandbox_jumps.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <type_traits>

#include "platform/platform.h"

namespace {

// Tells a record of this layout: a process built with another one (a stand-in copied into
// the sandbox by an older alarm-sim) cannot map it.
constexpr uint32_t kRecordMagicBase = 0x4a4d0000;
constexpr int kSlotCount = 64;
constexpr int64_t kNoDeadline = INT64_MAX;
constexpr size_t kStatReadSize = 512;
// A wait outside the record's account looks at the clock again at least this often (real
// time): far deadlines, or none, would overflow the system's clocks.
constexpr int64_t kLongestPlainWaitNs = 1000000000;

// A slot's state; the word is also the futex its thread sleeps on.
constexpr uint32_t kRunning = 0;
constexpr uint32_t kWaiting = 1;
constexpr uint32_t kWoken = 2;  // woken, and not yet run: it counts as running

// What a waiting thread waits on, which tells how a jump to its deadline wakes it and what
// could wake it otherwise: a sleep and a WakeEvent sleep on their slot's word; a wait on
// descriptors is also sent JUMP_SIGNAL; a wait for signals has no deadline. The input
// devices are written by the simulator alone.
constexpr uint32_t kOnSleep = 0;
constexpr uint32_t kOnEvent = 1;
constexpr uint32_t kOnDescriptors = 2;
constexpr uint32_t kOnSignal = 3;
constexpr uint32_t kOnInput = 4;

// The descriptors that the simulator's own threads wait on, by slot: the decider looks at
// them itself rather than asking the kernel about the thread.
constexpr unsigned kMaxSharedWaitFds = 32;
struct OwnDescriptorWait {
  std::mutex mu;
  unsigned count = 0;
  struct pollfd fds[kMaxSharedWaitFds];
};
OwnDescriptorWait g_own_waits[kSlotCount];

}  // namespace

// One thread of a process of the run. `pid` 0: free; -1: being made (its thread or process
// is being started by someone who runs). A slot that is not `attached` belongs to a process
// started for another program, or one that has not yet run the project's code: the kernel
// says whether it runs. `parent` is the process that started the slot's process.
struct ClockSlot {
  std::atomic<int32_t> pid;
  std::atomic<int32_t> tid;
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> attached;
  std::atomic<uint32_t> kind;
  std::atomic<int32_t> parent;
  std::atomic<int64_t> deadline_us;
};

struct ClockRecord {
  std::atomic<uint32_t> magic;
  std::atomic<uint32_t> overflow;    // a thread found no slot: the clock jumps no more
  std::atomic<uint32_t> anchor_seq;  // odd while the anchor changes
  std::atomic<uint32_t> changes;     // counts every change of a slot
  std::atomic<int32_t> decider_pid;
  std::atomic<int32_t> decider_tid;
  std::atomic<int64_t> anchor_virtual_us;
  std::atomic<int64_t> anchor_mono_ns;
  std::atomic<uint64_t> jumps;
  // Sets of the wall clock (an RTC correction, a time set by hand): how many, and by how much
  // in all. A wait for a moment of the wall clock ends at each; a sleep lasts its own length.
  std::atomic<uint64_t> clock_sets;
  std::atomic<int64_t> set_offset_us;
  ClockSlot slots[kSlotCount];
};

static_assert(std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "the record is shared between processes: its words must be lock-free");
static_assert(std::is_standard_layout<ClockRecord>::value, "the record is a file's layout");
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the state word is a futex");
constexpr uint32_t kRecordMagic = kRecordMagicBase | static_cast<uint32_t>(sizeof(ClockRecord));

class ClockRecordMapping {
 public:
  // Maps the record file at `path`; `fresh` makes it anew (a file left by an earlier run is
  // used again: only its content is new).
  static std::shared_ptr<ClockRecordMapping> map(const std::string& path, bool fresh) {
    int flags = O_RDWR | O_CLOEXEC | (fresh ? O_CREAT : 0);
    UniqueFd fd(open(path.c_str(), flags, 0644));
    if (fd.get() < 0) return nullptr;
    struct stat st;
    if (fresh && ftruncate(fd.get(), sizeof(ClockRecord)) != 0) return nullptr;
    if (fstat(fd.get(), &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(ClockRecord)) {
      return nullptr;
    }
    void* at = mmap(nullptr, sizeof(ClockRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (at == MAP_FAILED) return nullptr;
    auto* record = fresh ? new (at) ClockRecord() : static_cast<ClockRecord*>(at);
    if (!fresh && record->magic.load() != kRecordMagic) {
      munmap(at, sizeof(ClockRecord));
      return nullptr;
    }
    return std::shared_ptr<ClockRecordMapping>(new ClockRecordMapping(record));
  }
  ~ClockRecordMapping() { munmap(record_, sizeof(ClockRecord)); }
  ClockRecordMapping(const ClockRecordMapping&) = delete;
  ClockRecordMapping& operator=(const ClockRecordMapping&) = delete;
  ClockRecord& record() const { return *record_; }

 private:
  explicit ClockRecordMapping(ClockRecord* record) : record_(record) {}
  ClockRecord* record_;
};

namespace {

pid_t thread_id() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

int64_t monotonic_now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint32_t* futex_word(std::atomic<uint32_t>& a) {
  return reinterpret_cast<uint32_t*>(&a);
}

// Sleeps while `word` holds `expected`, at most until CLOCK_MONOTONIC `until_ns`.
void futex_wait_until(std::atomic<uint32_t>& word, uint32_t expected, int64_t until_ns) {
  struct timespec at;
  struct timespec* timeout = nullptr;
  if (until_ns != kNoDeadline) {
    at.tv_sec = static_cast<time_t>(until_ns / 1000000000);
    at.tv_nsec = static_cast<long>(until_ns % 1000000000);
    timeout = &at;
  }
  // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC; the word is shared between
  // processes, so the operation is not the private one.
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_BITSET, expected, timeout, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

void futex_wake_all(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void on_jump_signal(int) {}

int64_t saturating_add(int64_t a, int64_t b) {
  return b > 0 && a > kNoDeadline - b ? kNoDeadline : a + b;
}

// Takes a free slot for a thread or process someone who runs is starting, a child of
// `parent`; its pid stays -1 until the caller sets it. -1 (and no more jumps) when every slot
// is taken.
int claim_slot(ClockRecord& r, bool attached, pid_t parent) {
  for (int i = 0; i < kSlotCount; ++i) {
    ClockSlot& s = r.slots[i];
    int32_t expected = 0;
    if (!s.pid.compare_exchange_strong(expected, -1)) continue;
    s.parent.store(parent);
    s.tid.store(0);
    s.state.store(kRunning);
    s.kind.store(kOnSleep);
    s.deadline_us.store(kNoDeadline);
    s.attached.store(attached ? 1 : 0);
    r.changes.fetch_add(1);
    return i;
  }
  r.overflow.store(1);
  return -1;
}

void set_slot_pid(ClockRecord& r, int i, pid_t pid) {
  int32_t expected = -1;
  if (r.slots[i].pid.compare_exchange_strong(expected, pid)) r.changes.fetch_add(1);
}

void release_slot(ClockRecord& r, int i) {
  ClockSlot& s = r.slots[i];
  s.state.store(kRunning);
  s.attached.store(0);
  s.tid.store(0);
  s.deadline_us.store(kNoDeadline);
  s.pid.store(0);
  r.changes.fetch_add(1);
}

// Marks a waiting slot woken, and wakes its thread if it sleeps on the slot's word; false
// when it was not waiting.
bool wake_slot(ClockSlot& s) {
  uint32_t expected = kWaiting;
  if (!s.state.compare_exchange_strong(expected, kWoken)) return false;
  futex_wake_all(s.state);
  return true;
}

// Wakes the decider unless another thread of the run still runs: that one will, when it
// waits. A process started for another program is the decider's to watch.
void hint_decider(ClockRecord& r, int self) {
  for (int j = 0; j < kSlotCount; ++j) {
    if (j == self) continue;
    const ClockSlot& s = r.slots[j];
    int32_t pid = s.pid.load();
    if (pid == 0) continue;
    if (pid < 0) return;
    if (s.attached.load() != 0 && s.state.load() != kWaiting) return;
  }
  int32_t pid = r.decider_pid.load();
  int32_t tid = r.decider_tid.load();
  if (pid > 0) syscall(SYS_tgkill, pid, tid, JUMP_SIGNAL);
}

void begin_wait(ClockRecord& r, int i, uint32_t kind, int64_t deadline_us) {
  ClockSlot& s = r.slots[i];
  s.kind.store(kind);
  s.deadline_us.store(deadline_us);
  s.state.store(kWaiting);
  r.changes.fetch_add(1);
  hint_decider(r, i);
}

void end_wait(ClockRecord& r, int i) {
  r.slots[i].state.store(kRunning);
  r.changes.fetch_add(1);
}

// The slot each thread holds in the record it last used; freed when the thread ends. A
// process's main thread ends with the process: its slot says it runs until the decider
// sees the process has ended, so the run does not jump while the process goes down.
struct ThreadSlot {
  std::shared_ptr<ClockRecordMapping> mapping;
  int index = -1;
  ~ThreadSlot() {
    if (!mapping || index < 0) return;
    ClockRecord& r = mapping->record();
    ClockSlot& s = r.slots[index];
    const pid_t self = thread_id();
    if (self == getpid() || s.pid.load() != getpid() || s.tid.load() != self) return;
    release_slot(r, index);
    hint_decider(r, -1);
  }
};
thread_local ThreadSlot t_slot;

// Marks a posted WakeEvent's waiter woken, under the event's lock.
class SlotWatcher : public WakeWatcher {
 public:
  explicit SlotWatcher(ClockSlot* slot) : slot_(slot) {}
  void posted() override { wake_slot(*slot_); }

 private:
  ClockSlot* slot_;
};

struct ThreadStart {
  void* (*entry)(void*);
  std::shared_ptr<ClockRecordMapping> mapping;
  int index;
};

void* start_accounted_thread(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  t_slot.mapping = start->mapping;
  t_slot.index = start->index;
  if (start->index >= 0) {
    ClockRecord& r = start->mapping->record();
    r.slots[start->index].tid.store(thread_id());
    r.changes.fetch_add(1);
  }
  void* (*entry)(void*) = start->entry;
  start.reset();
  return entry(nullptr);
}

// Sorted stretches of positive speed, each beginning where the one before it ends at the
// latest.
std::vector<ClockStretch> apart(std::vector<ClockStretch> slow) {
  std::sort(slow.begin(), slow.end(),
            [](const ClockStretch& a, const ClockStretch& b) { return a.from_us < b.from_us; });
  std::vector<ClockStretch> out;
  for (ClockStretch s : slow) {
    if (!(s.speed > 0)) continue;
    if (!out.empty() && s.from_us < out.back().to_us) s.from_us = out.back().to_us;
    if (s.to_us > s.from_us) out.push_back(s);
  }
  return out;
}

}  // namespace

void install_jump_signal_handler() {
  struct sigaction old;
  if (sigaction(JUMP_SIGNAL, nullptr, &old) != 0) return;
  if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) return;
  struct sigaction sa = {};
  sa.sa_handler = on_jump_signal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(JUMP_SIGNAL, &sa, nullptr);
}

JumpingClock::JumpingClock(std::shared_ptr<ClockRecordMapping> mapping, double speed,
                           std::vector<ClockStretch> slow)
    : mapping_(std::move(mapping)), speed_(speed > 0 ? speed : 0), slow_(apart(std::move(slow))) {}

JumpingClock::~JumpingClock() = default;

std::unique_ptr<JumpingClock> JumpingClock::create(const std::string& path, int64_t start_us,
                                                   double speed, std::vector<ClockStretch> slow) {
  std::shared_ptr<ClockRecordMapping> mapping = ClockRecordMapping::map(path, true);
  if (!mapping) return nullptr;
  ClockRecord& r = mapping->record();
  r.anchor_virtual_us.store(start_us);
  r.anchor_mono_ns.store(monotonic_now_ns());
  r.magic.store(kRecordMagic);
  install_jump_signal_handler();
  return std::unique_ptr<JumpingClock>(new JumpingClock(mapping, speed, std::move(slow)));
}

std::unique_ptr<JumpingClock> JumpingClock::open(const std::string& path, double speed,
                                                 std::vector<ClockStretch> slow) {
  std::shared_ptr<ClockRecordMapping> mapping = ClockRecordMapping::map(path, false);
  if (!mapping) return nullptr;
  install_jump_signal_handler();
  std::unique_ptr<JumpingClock> clock(new JumpingClock(mapping, speed, std::move(slow)));
  // The slot made for this process when it was started, if any.
  ClockRecord& r = mapping->record();
  const pid_t self = getpid();
  for (int i = 0; i < kSlotCount; ++i) {
    if (r.slots[i].pid.load() == self && r.slots[i].attached.load() == 0) {
      t_slot.mapping = mapping;
      t_slot.index = i;
      break;
    }
  }
  clock->attach_thread();
  return clock;
}

ClockRecord& JumpingClock::record() const {
  return mapping_->record();
}

void JumpingClock::anchor(int64_t* virtual_us, int64_t* mono_ns) const {
  ClockRecord& r = record();
  for (;;) {
    uint32_t seq = r.anchor_seq.load();
    if (seq & 1) {
      sched_yield();
      continue;
    }
    *virtual_us = r.anchor_virtual_us.load();
    *mono_ns = r.anchor_mono_ns.load();
    if (r.anchor_seq.load() == seq) return;
  }
}

int64_t JumpingClock::virtual_us_after(int64_t anchor_us, int64_t anchor_ns,
                                       int64_t mono_ns) const {
  if (mono_ns <= anchor_ns || !(speed_ > 0)) return anchor_us;
  long double v = static_cast<long double>(anchor_us);
  long double m = static_cast<long double>(anchor_ns);
  const long double mono = static_cast<long double>(mono_ns);
  auto run = [&](long double to_us, double speed, int64_t* out) {
    long double end = m + (to_us - v) * 1000.0L / speed;
    if (mono < end) {
      *out = static_cast<int64_t>(v + (mono - m) * speed / 1000.0L);
      return true;
    }
    v = to_us;
    m = end;
    return false;
  };
  int64_t out = 0;
  for (const ClockStretch& s : slow_) {
    if (static_cast<long double>(s.to_us) <= v) continue;
    if (static_cast<long double>(s.from_us) > v && run(s.from_us, speed_, &out)) return out;
    if (run(s.to_us, s.speed, &out)) return out;
  }
  return static_cast<int64_t>(v + (mono - m) * speed_ / 1000.0L);
}

int64_t JumpingClock::real_ns_after(int64_t anchor_us, int64_t anchor_ns,
                                    int64_t virtual_us) const {
  if (virtual_us <= anchor_us) return anchor_ns;
  if (virtual_us == kNoDeadline || !(speed_ > 0)) return kNoDeadline;
  long double v = static_cast<long double>(anchor_us);
  long double m = static_cast<long double>(anchor_ns);
  const long double target = static_cast<long double>(virtual_us);
  auto run = [&](long double to_us, double speed) {
    long double upto = to_us < target ? to_us : target;
    m += (upto - v) * 1000.0L / speed;
    v = upto;
    return v >= target;
  };
  for (const ClockStretch& s : slow_) {
    if (static_cast<long double>(s.to_us) <= v) continue;
    if (static_cast<long double>(s.from_us) > v && run(s.from_us, speed_)) break;
    if (v >= target || run(s.to_us, s.speed)) break;
  }
  if (v < target) run(target, speed_);
  return m >= static_cast<long double>(kNoDeadline) ? kNoDeadline : static_cast<int64_t>(m);
}

int64_t JumpingClock::now_us() {
  int64_t v, m;
  anchor(&v, &m);
  return virtual_us_after(v, m, monotonic_now_ns());
}

int64_t JumpingClock::real_ns_at(int64_t virtual_us) {
  if (virtual_us == kNoDeadline) return kNoDeadline;
  int64_t v, m;
  anchor(&v, &m);
  return real_ns_after(v, m, virtual_us);
}

int JumpingClock::my_slot() {
  ThreadSlot& t = t_slot;
  ClockRecord& r = record();
  if (t.mapping != mapping_ || t.index < 0) {
    int i = claim_slot(r, true, getppid());
    if (i < 0) return -1;
    r.slots[i].tid.store(thread_id());
    set_slot_pid(r, i, getpid());
    t.mapping = mapping_;
    t.index = i;
    return i;
  }
  ClockSlot& s = r.slots[t.index];
  if (s.attached.load() == 0) {
    s.tid.store(thread_id());
    s.attached.store(1);
    r.changes.fetch_add(1);
  }
  return t.index;
}

void JumpingClock::attach_thread() {
  my_slot();
}

void JumpingClock::leave() {
  if (t_slot.mapping == mapping_ && t_slot.index >= 0) {
    record().slots[t_slot.index].attached.store(0);
    record().changes.fetch_add(1);
  }
}

void JumpingClock::sleep_us(int64_t usec) {
  if (usec <= 0) return;
  sleep_until(saturating_add(now_us(), usec));
}

void JumpingClock::sleep_until(int64_t deadline_us) {
  ClockRecord& r = record();
  int i = my_slot();
  const int64_t offset = r.set_offset_us.load();
  for (;;) {
    // A sleep lasts its length whatever the wall clock is set to meanwhile.
    int64_t moved = r.set_offset_us.load() - offset;
    int64_t deadline = deadline_us == kNoDeadline ? kNoDeadline : deadline_us + moved;
    if (now_us() >= deadline) return;
    if (i < 0) {
      // No slot: the clock jumps no more, and a plain sleep on its anchor is exact.
      int64_t until = std::min(real_ns_at(deadline), monotonic_now_ns() + kLongestPlainWaitNs);
      struct timespec at = {static_cast<time_t>(until / 1000000000),
                            static_cast<long>(until % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
      continue;
    }
    begin_wait(r, i, kOnSleep, deadline);
    futex_wait_until(r.slots[i].state, kWaiting, real_ns_at(deadline));
    end_wait(r, i);
  }
}

void JumpingClock::hold() {
  for (;;) sleep_until(kNoDeadline);
}

bool JumpingClock::wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             bool& pending, int64_t deadline_us, WakeWatcher** watcher) {
  ClockRecord& r = record();
  int i = watcher != nullptr ? my_slot() : -1;
  if (i < 0) {
    // Not accounted for: the thread counts as running, and the clock runs on.
    while (!pending) {
      int64_t left = real_ns_at(deadline_us) - monotonic_now_ns();
      if (left <= 0) break;
      cv.wait_for(lock, std::chrono::nanoseconds(std::min(left, kLongestPlainWaitNs)));
    }
    return pending;
  }
  SlotWatcher posts(&r.slots[i]);
  *watcher = &posts;
  // A set of the wall clock ends the wait, as it cancels the phone's timer on the wall clock.
  const uint64_t sets = r.clock_sets.load();
  while (!pending && now_us() < deadline_us && r.clock_sets.load() == sets) {
    // Under the event's lock: a post from here on marks the slot woken.
    begin_wait(r, i, kOnEvent, deadline_us);
    lock.unlock();
    futex_wait_until(r.slots[i].state, kWaiting, real_ns_at(deadline_us));
    end_wait(r, i);
    lock.lock();
  }
  *watcher = nullptr;
  return pending;
}

int JumpingClock::wait_descriptors(struct pollfd* fds, unsigned count, int64_t deadline_us) {
  return wait_on_descriptors(fds, count, deadline_us, kOnDescriptors);
}

int JumpingClock::wait_on_descriptors(struct pollfd* fds, unsigned count, int64_t deadline_us,
                                      uint32_t kind) {
  int ready = poll(fds, count, 0);
  if (ready != 0 && !(ready < 0 && errno == EINTR)) return ready;
  if (now_us() >= deadline_us) return 0;
  ClockRecord& r = record();
  int i = my_slot();
  // In the decider's own process, it can look at the descriptors itself.
  OwnDescriptorWait* own = nullptr;
  if (i >= 0 && kind == kOnDescriptors && count <= kMaxSharedWaitFds &&
      r.decider_pid.load() == getpid()) {
    own = &g_own_waits[i];
    std::lock_guard<std::mutex> lock(own->mu);
    std::copy(fds, fds + count, own->fds);
    own->count = count;
  }
  // The signal that ends the wait at its deadline is taken only inside ppoll.
  sigset_t jump, old;
  sigemptyset(&jump);
  sigaddset(&jump, JUMP_SIGNAL);
  pthread_sigmask(SIG_BLOCK, &jump, &old);
  sigset_t during = old;
  sigdelset(&during, JUMP_SIGNAL);
  for (;;) {
    if (i >= 0) begin_wait(r, i, kind, deadline_us);
    int64_t until = real_ns_at(deadline_us);
    struct timespec left;
    struct timespec* timeout = nullptr;
    if (until != kNoDeadline) {
      int64_t ns = until - monotonic_now_ns();
      if (ns < 0) ns = 0;
      left.tv_sec = static_cast<time_t>(ns / 1000000000);
      left.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &left;
    }
    ready = ppoll(fds, count, timeout, &during);
    int err = errno;
    if (i >= 0) end_wait(r, i);
    if (ready > 0 || (ready < 0 && err != EINTR)) {
      errno = err;
      break;
    }
    if (now_us() >= deadline_us) {
      ready = 0;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (own != nullptr) {
    std::lock_guard<std::mutex> lock(own->mu);
    own->count = 0;
  }
  return ready;
}

int JumpingClock::wait_readable(int fd, int64_t deadline_us) {
  struct pollfd p = {fd, POLLIN, 0};
  int r = wait_descriptors(&p, 1, deadline_us);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  return (p.revents & POLLNVAL) != 0 ? -1 : 1;
}

int JumpingClock::poll_input(struct pollfd* fds, unsigned count, bool wait) {
  if (!wait) return poll(fds, count, 0);
  return wait_on_descriptors(fds, count, kNoDeadline, kOnInput);
}

int JumpingClock::wait_signal(const sigset_t& set) {
  ClockRecord& r = record();
  int i = my_slot();
  if (i >= 0) begin_wait(r, i, kOnSignal, kNoDeadline);
  int sig = sigwaitinfo(&set, nullptr);
  int err = errno;
  if (i >= 0) end_wait(r, i);
  errno = err;
  return sig;
}

int JumpingClock::start_thread(void* (*entry)(void*)) {
  ClockRecord& r = record();
  int i = claim_slot(r, true, getppid());
  if (i >= 0) set_slot_pid(r, i, getpid());
  auto* start = new ThreadStart{entry, mapping_, i};
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, start_accounted_thread, start);
  if (rc != 0) {
    delete start;
    if (i >= 0) {
      release_slot(r, i);
      hint_decider(r, -1);
    }
    return rc;
  }
  pthread_detach(thread);
  return 0;
}

pid_t JumpingClock::fork_process() {
  ClockRecord& r = record();
  int i = claim_slot(r, false, getpid());
  pid_t pid = fork();
  if (pid == 0) {
    // Only what is safe in the child of a process with threads: the slot is this process's
    // until it runs the project's code (then it is attached) or another program.
    if (i >= 0) set_slot_pid(r, i, getpid());
    t_slot.mapping = mapping_;
    t_slot.index = i;
    return 0;
  }
  if (i >= 0) {
    if (pid > 0) {
      set_slot_pid(r, i, pid);
    } else {
      release_slot(r, i);
    }
  }
  return pid;
}

JumpDecider::JumpDecider(JumpingClock& clock) : clock_(clock) {
  ClockRecord& r = clock_.record();
  r.decider_tid.store(thread_id());
  r.decider_pid.store(getpid());
  history_.emplace_back(r.anchor_mono_ns.load(), r.anchor_virtual_us.load());
}

JumpDecider::~JumpDecider() {
  clock_.record().decider_pid.store(0);
}

uint64_t JumpDecider::jumps() const {
  return clock_.record().jumps.load();
}

char JumpDecider::kernel_state(pid_t pid, pid_t tid) {
  auto key = std::make_pair(pid, tid);
  auto it = stat_fds_.find(key);
  if (it == stat_fds_.end()) {
    char path[64];
    if (tid == 0) {
      snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    } else {
      snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(pid),
               static_cast<int>(tid));
    }
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return 0;
    it = stat_fds_.emplace(key, std::move(fd)).first;
  }
  char buf[kStatReadSize];
  ssize_t n = pread(it->second.get(), buf, sizeof buf - 1, 0);
  if (n <= 0) {
    stat_fds_.erase(it);
    return 0;
  }
  buf[n] = '\0';
  const char* close_paren = strrchr(buf, ')');
  if (close_paren == nullptr || close_paren[1] != ' ') return 0;
  return close_paren[2];
}

bool JumpDecider::process_runs(pid_t pid) {
  char state = kernel_state(pid, 0);
  if (state == 0 || state == 'Z' || state == 'X') return false;  // ended
  if (state != 'S') return true;
  // Asleep: waiting for one of its children (the shell for its sqlite3), or for something
  // the run does not know of. Only a child of the run's own, with a slot that tells, makes it
  // safe to say it waits.
  for (const ClockSlot& s : clock_.record().slots) {
    int32_t child = s.pid.load();
    if (child > 0 && child != pid && s.parent.load() == pid) return false;
  }
  return true;
}

void JumpDecider::forget_ended_processes() {
  ClockRecord& r = clock_.record();
  std::set<pid_t> present;
  for (const ClockSlot& s : r.slots) {
    int32_t pid = s.pid.load();
    if (pid > 0) present.insert(pid);
  }
  std::set<pid_t> ended;
  std::vector<pollfd> fds;
  std::vector<pid_t> fd_pids;
  for (pid_t pid : present) {
    auto it = process_fds_.find(pid);
    if (it == process_fds_.end()) {
#ifdef SYS_pidfd_open
      int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
      int fd = -1;
      errno = ENOSYS;
#endif
      if (fd < 0 && errno == ESRCH) {
        ended.insert(pid);
        continue;
      }
      it = process_fds_.emplace(pid, UniqueFd(fd)).first;
    }
    if (it->second.get() >= 0) {
      fds.push_back({it->second.get(), POLLIN, 0});
      fd_pids.push_back(pid);
    } else {
      // No pidfd on this kernel: the process's own state tells.
      char state = kernel_state(pid, 0);
      if (state == 0 || state == 'Z' || state == 'X') ended.insert(pid);
    }
  }
  if (!fds.empty() && poll(fds.data(), fds.size(), 0) > 0) {
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents != 0) ended.insert(fd_pids[k]);
    }
  }
  for (int i = 0; i < kSlotCount; ++i) {
    int32_t pid = r.slots[i].pid.load();
    if (pid > 0 && ended.count(pid) != 0) {
      int32_t expected = pid;
      if (r.slots[i].pid.compare_exchange_strong(expected, -1)) release_slot(r, i);
    }
  }
  for (auto it = process_fds_.begin(); it != process_fds_.end();) {
    bool gone = present.count(it->first) == 0 || ended.count(it->first) != 0;
    it = gone ? process_fds_.erase(it) : std::next(it);
  }
  for (auto it = stat_fds_.begin(); it != stat_fds_.end();) {
    bool gone = present.count(it->first.first) == 0 || ended.count(it->first.first) != 0;
    it = gone ? stat_fds_.erase(it) : std::next(it);
  }
}

JumpDecider::Look JumpDecider::look() {
  Look look;
  ClockRecord& r = clock_.record();
  if (r.overflow.load() != 0) return look;
  // Ends first: a process that has ended has woken whoever its end wakes, and the kernel
  // says so of them below.
  forget_ended_processes();
  // What is read below is no snapshot: when any slot changed meanwhile (a thread started or
  // stopped waiting, a process was started or took its slot), it may not hold together.
  const uint32_t changes = r.changes.load();
  // What the slots say, first: most looks end here, as something runs.
  std::vector<ClockSlot*> waiting;
  std::vector<pid_t> others;
  bool runs_now = false;
  for (ClockSlot& s : r.slots) {
    int32_t pid = s.pid.load();
    if (pid == 0) continue;
    if (pid < 0) {
      runs_now = true;  // a thread or process being started by someone who runs
    } else if (s.attached.load() == 0) {
      others.push_back(pid);
    } else if (s.state.load() != kWaiting) {
      runs_now = true;
    } else {
      int64_t deadline = s.deadline_us.load();
      if (deadline < look.earliest_us) look.earliest_us = deadline;
      waiting.push_back(&s);
    }
  }
  if (runs_now) return look;
  // Then what the kernel says. A waiter it does not call asleep is about to sleep, or has
  // been woken by a write, a signal or a child's end (or is being ended by a signal) and has
  // not yet run. A process of another program must sleep too.
  look.look_again = true;
  for (pid_t pid : others) {
    if (process_runs(pid)) return look;
  }
  // Descriptors it can look at itself: its own threads', and the input devices it writes.
  std::vector<pollfd> ready_fds;
  bool input_added = false;
  const pid_t self = getpid();
  for (ClockSlot* s : waiting) {
    int32_t pid = s->pid.load();
    uint32_t kind = s->kind.load();
    if (pid == trusted_ && (kind == kOnSleep || kind == kOnEvent)) continue;
    if (kind == kOnInput && watch_input_) {
      if (!input_added) {
        for (int fd : input_fds_) ready_fds.push_back({fd, POLLIN, 0});
        input_added = true;
      }
      continue;
    }
    if (kind == kOnDescriptors && pid == self) {
      OwnDescriptorWait& own = g_own_waits[s - r.slots];
      std::lock_guard<std::mutex> lock(own.mu);
      if (own.count > 0) {
        ready_fds.insert(ready_fds.end(), own.fds, own.fds + own.count);
        continue;
      }
    }
    if (kernel_state(pid, s->tid.load()) != 'S') return look;
  }
  if (!ready_fds.empty()) {
    for (pollfd& p : ready_fds) p.revents = 0;
    if (poll(ready_fds.data(), ready_fds.size(), 0) != 0) return look;
  }
  if (r.changes.load() != changes) return look;
  look.look_again = false;
  look.quiet = true;
  return look;
}

void JumpDecider::jump_to(int64_t virtual_us) {
  ClockRecord& r = clock_.record();
  int64_t mono = monotonic_now_ns();
  int64_t v, m;
  clock_.anchor(&v, &m);
  if (virtual_us <= clock_.virtual_us_after(v, m, mono)) return;
  r.anchor_seq.fetch_add(1);
  r.anchor_virtual_us.store(virtual_us);
  r.anchor_mono_ns.store(mono);
  r.anchor_seq.fetch_add(1);
  r.jumps.fetch_add(1);
  std::lock_guard<std::mutex> lock(history_mu_);
  history_.emplace_back(mono, virtual_us);
}

void JumpDecider::set_clock(int64_t delta_us) {
  ClockRecord& r = clock_.record();
  int64_t mono = monotonic_now_ns();
  int64_t v, m;
  clock_.anchor(&v, &m);
  int64_t now = clock_.virtual_us_after(v, m, mono);
  r.anchor_seq.fetch_add(1);
  r.anchor_virtual_us.store(now + delta_us);
  r.anchor_mono_ns.store(mono);
  r.set_offset_us.fetch_add(delta_us);
  r.clock_sets.fetch_add(1);
  r.anchor_seq.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(history_mu_);
    history_.emplace_back(mono, now + delta_us);
  }
  // Every sleep and wait on an event looks again: a sleep to its moved end, a wait for a
  // moment of the wall clock ends.
  for (ClockSlot& s : r.slots) {
    if (s.pid.load() <= 0 || s.attached.load() == 0 || s.state.load() != kWaiting) continue;
    uint32_t kind = s.kind.load();
    if (kind == kOnSleep || kind == kOnEvent) wake_slot(s);
  }
}

int JumpDecider::wake_due(int64_t virtual_us) {
  int woken = 0;
  for (ClockSlot& s : clock_.record().slots) {
    if (s.pid.load() <= 0 || s.attached.load() == 0 || s.state.load() != kWaiting ||
        s.deadline_us.load() > virtual_us) {
      continue;
    }
    uint32_t kind = s.kind.load();
    int32_t pid = s.pid.load();
    int32_t tid = s.tid.load();
    if (!wake_slot(s)) continue;
    ++woken;
    if ((kind == kOnDescriptors || kind == kOnInput) && pid > 0 && tid > 0) {
      syscall(SYS_tgkill, pid, tid, JUMP_SIGNAL);
    }
  }
  return woken;
}

std::vector<int> JumpDecider::process_fds() const {
  std::vector<int> out;
  for (const auto& p : process_fds_) {
    if (p.second.get() >= 0) out.push_back(p.second.get());
  }
  return out;
}

int64_t JumpDecider::virtual_us_at(int64_t mono_ns) const {
  std::lock_guard<std::mutex> lock(history_mu_);
  auto after =
      std::upper_bound(history_.begin(), history_.end(), mono_ns,
                       [](int64_t m, const std::pair<int64_t, int64_t>& a) { return m < a.first; });
  const auto& a = after == history_.begin() ? history_.front() : *(after - 1);
  return clock_.virtual_us_after(a.second, a.first, mono_ns);
}

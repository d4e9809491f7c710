// alarm-vm-sound: what the virtual machine's sound card played, against the ring file, for
// vm/vm.py to judge with the console's moments:
//   alarm-vm-sound describe FILE
//       "sound RATE CHANNELS FRAMES LEAD TRAIL": the quiet frames before its first and
//       after its last audible frame
//   alarm-vm-sound runs RECORDING RING [BREAK...]
//       the same line for each ("ring", then "recording"), then one line per run of the
//       ring file: "run SEGMENT START BEGIN END SCORE WHOLE RESUMED FIRST LAST LOST" (frames of the
//       recording; FIRST and LAST -1 when nothing of it is audible; LOST: the file's frames
//       not played within it); BREAK: FRAME:SECONDS,
//       where the recorder paused and for how long
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sound_track.h"
#include "vm/sound_runs.h"

namespace {

bool load(const char* path, SoundTrack* t) {
  std::string why;
  if (read_sound(path, t, &why)) return true;
  fprintf(stderr, "alarm-vm-sound: %s: %s\n", path, why.c_str());
  return false;
}

void describe(const char* what, const SoundTrack& t) {
  std::vector<AudibleStretch> s = audible_stretches(t);
  size_t lead = s.empty() ? t.frames() : s.front().first;
  size_t trail = s.empty() ? t.frames() : t.frames() - 1 - s.back().last;
  printf("%s %d %d %zu %zu %zu\n", what, t.rate, t.channels, t.frames(), lead, trail);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  SoundTrack a, b;
  if (verb == "describe" && argc == 3) {
    if (!load(argv[2], &a)) return 1;
    describe("sound", a);
    return 0;
  }
  if (verb == "runs" && argc >= 4) {
    if (!load(argv[2], &a) || !load(argv[3], &b)) return 1;
    describe("ring", b);
    describe("recording", a);
    std::vector<SoundBreak> breaks;
    for (int i = 4; i < argc; ++i) {
      char* rest = nullptr;
      SoundBreak b;
      b.frame = strtoull(argv[i], &rest, 10);
      if (rest != nullptr && *rest == ':') b.seconds = strtod(rest + 1, nullptr);
      breaks.push_back(b);
    }
    for (const RingRun& r : find_ring_runs(a, b, breaks)) {
      printf("run %zu %lld %zu %zu %.4f %d %d %lld %lld %lld\n", r.segment, r.start, r.begin, r.end,
             r.score, r.whole ? 1 : 0, r.resumed ? 1 : 0,
             r.heard ? static_cast<long long>(r.first_audible) : -1,
             r.heard ? static_cast<long long>(r.last_audible) : -1, r.lost);
    }
    return 0;
  }
  fprintf(stderr, "usage: alarm-vm-sound describe FILE | runs RECORDING RING [BREAK...]\n");
  return 2;
}

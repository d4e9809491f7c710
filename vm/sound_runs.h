// The ring file's runs in a recording of the virtual machine's sound card. The card's
// recorder writes only while the guest plays, so a pause (a player's restart, a stop) leaves
// no silence in the file: the driver marks the frames where writing stopped for a while
// (the breaks), and each run of the ring file is found by its sound, at a break or where
// the run before it ended.
#pragma once

#include <cstddef>
#include <vector>

#include "sim/sound_track.h"

struct RingRun {
  size_t segment = 0;   // the unbroken stretch of the recording it lies in
  long long start = 0;  // the recording's frame where the file's first frame lies
  size_t begin = 0;     // the run's frames in the recording, [begin, end)
  size_t end = 0;
  double score = 0;      // its correlation with the file
  long long lost = 0;    // frames of the file not played within it (an underrun)
  bool whole = false;    // played to the file's end, or to past its last audible frame
  bool resumed = false;  // the file going on after a pause of the recording, not from its start
  bool heard = false;    // holds an audible frame; then:
  size_t first_audible = 0;
  size_t last_audible = 0;
};

// Where the recorder paused: its frame, and how long it waited there.
struct SoundBreak {
  size_t frame = 0;
  double seconds = 0;
};

// The runs of `ring` in `recording`, whose unbroken stretches begin at frame 0 and at each of
// `breaks` (ascending).
std::vector<RingRun> find_ring_runs(const SoundTrack& recording, const SoundTrack& ring,
                                    const std::vector<SoundBreak>& breaks);

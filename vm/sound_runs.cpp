#include "vm/sound_runs.h"

#include <algorithm>
#include <cstdlib>

namespace {

// A run's file frame 0 is sought this far about where it is expected: a player's lead-in,
// the frames a recorder loses as a stream starts, two decoders' delays.
constexpr double kSeekSeconds = 0.25;
// The sound looked for: the file's start, at least half a second and past the end of its
// first sound: a steady tone alone fits at every one of its periods, its edges only where
// they lie.
constexpr double kProbeSeconds = 0.5;
constexpr double kPastFirstSoundSeconds = 0.1;
// Below this the probe did not find the file where a run should begin.
constexpr double kFound = 0.5;

void mark_audible(const SoundTrack& rec, RingRun* run) {
  for (size_t i = run->begin; i < run->end; ++i) {
    if (std::abs(static_cast<int>(rec.mono[i])) < kAudibleLevel) continue;
    if (!run->heard) run->first_audible = i;
    run->heard = true;
    run->last_audible = i;
  }
}

}  // namespace

std::vector<RingRun> find_ring_runs(const SoundTrack& rec, const SoundTrack& ring,
                                    const std::vector<size_t>& breaks) {
  std::vector<RingRun> runs;
  const auto length = static_cast<long long>(ring.frames());
  if (length == 0 || rec.frames() == 0 || rec.rate <= 0) return runs;
  const auto seek = static_cast<long long>(kSeekSeconds * rec.rate);
  std::vector<AudibleStretch> heard = audible_stretches(ring);
  const size_t first_end = heard.empty() ? 0 : heard.front().last;
  const auto probe = static_cast<long long>(
      std::min(ring.frames(),
               std::max(static_cast<size_t>(kProbeSeconds * ring.rate),
                        first_end + static_cast<size_t>(kPastFirstSoundSeconds * ring.rate))));

  std::vector<size_t> bounds{0};
  for (size_t b : breaks) {
    if (b > bounds.back() && b < rec.frames()) bounds.push_back(b);
  }
  bounds.push_back(rec.frames());

  for (size_t seg = 0; seg + 1 < bounds.size(); ++seg) {
    const auto seg_begin = static_cast<long long>(bounds[seg]);
    const auto seg_end = static_cast<long long>(bounds[seg + 1]);
    long long expect = seg_begin;
    bool first_in_segment = true;
    for (;;) {
      // A probe no longer than what the segment holds from the expected start.
      const long long frames = std::min(probe, seg_end - expect);
      SoundMatch m{expect, 0.0};
      if (frames > 0) {
        m = find_sound(rec, expect - seek, expect + seek, ring, 0, static_cast<size_t>(frames));
      }
      const long long start = m.at;
      // A recorder that paused within a run (a busy host) goes on with the same run.
      if (first_in_segment && m.score < kFound && !runs.empty() && !runs.back().whole &&
          static_cast<long long>(runs.back().end) == seg_begin) {
        RingRun& before = runs.back();
        const long long to = std::min(seg_end, before.start + length);
        const double go_on = to > seg_begin
                                 ? correlation(rec, static_cast<size_t>(seg_begin), ring,
                                               static_cast<size_t>(seg_begin - before.start),
                                               static_cast<size_t>(to - seg_begin))
                                 : 0.0;
        if (go_on >= kFound) {
          before.end = static_cast<size_t>(to);
          before.whole = before.start + length <= seg_end + seek;
          before.score =
              correlation(rec, before.begin, ring,
                          static_cast<size_t>(static_cast<long long>(before.begin) - before.start),
                          before.end - before.begin);
          mark_audible(rec, &before);
          if (!before.whole || seg_end - to < seek) break;
          expect = to;
          first_in_segment = false;
          continue;
        }
      }
      first_in_segment = false;
      RingRun run;
      run.segment = seg;
      run.start = start;
      run.begin = static_cast<size_t>(std::max(start, seg_begin));
      run.end = static_cast<size_t>(std::min(start + length, seg_end));
      if (run.end <= run.begin) break;
      run.whole = start + length <= seg_end + seek;
      run.score = correlation(rec, run.begin, ring,
                              static_cast<size_t>(static_cast<long long>(run.begin) - start),
                              run.end - run.begin);
      mark_audible(rec, &run);
      runs.push_back(run);
      // The next run follows at once, unless this one was cut or the segment is at its end.
      if (!run.whole || seg_end - (start + length) < seek) break;
      expect = start + length;
    }
  }
  return runs;
}

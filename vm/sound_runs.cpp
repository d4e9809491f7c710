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
// A run that ends this close to the file's end was played to it: a recorder loses a few
// milliseconds as a stream stops.
constexpr double kWholeSlackSeconds = 0.05;
// qemu writes its recording 1024 frames at a time.
constexpr double kWriteSeconds = 0.03;
// A pause shorter than this may be the recorder's within a run; a longer one is a stop.
constexpr double kBriefPauseSeconds = 1.0;
// Correlations this close are alike.
constexpr double kAlike = 0.01;
// Below this the probe did not find the file where a run should begin.
constexpr double kFound = 0.5;

// The run's correlation with the file and its audible frames, from its frames.
void settle(const SoundTrack& rec, const SoundTrack& ring, RingRun* run) {
  run->score = correlation(rec, run->begin, ring,
                           static_cast<size_t>(static_cast<long long>(run->begin) - run->start),
                           run->end - run->begin);
  run->heard = false;
  for (size_t i = run->begin; i < run->end; ++i) {
    if (std::abs(static_cast<int>(rec.mono[i])) < kAudibleLevel) continue;
    if (!run->heard) run->first_audible = i;
    run->heard = true;
    run->last_audible = i;
  }
}

}  // namespace

std::vector<RingRun> find_ring_runs(const SoundTrack& rec, const SoundTrack& ring,
                                    const std::vector<SoundBreak>& breaks) {
  std::vector<RingRun> runs;
  const auto length = static_cast<long long>(ring.frames());
  if (length == 0 || rec.frames() == 0 || rec.rate <= 0) return runs;
  const auto seek = static_cast<long long>(kSeekSeconds * rec.rate);
  const auto slack = static_cast<long long>(kWholeSlackSeconds * rec.rate);
  std::vector<AudibleStretch> heard = audible_stretches(ring);
  const size_t first_end = heard.empty() ? 0 : heard.front().last;
  const auto probe = static_cast<long long>(
      std::min(ring.frames(),
               std::max(static_cast<size_t>(kProbeSeconds * ring.rate),
                        first_end + static_cast<size_t>(kPastFirstSoundSeconds * ring.rate))));

  std::vector<size_t> bounds{0};
  std::vector<double> waits{0.0};
  for (const SoundBreak& b : breaks) {
    if (b.frame > bounds.back() && b.frame < rec.frames()) {
      bounds.push_back(b.frame);
      waits.push_back(b.seconds);
    }
  }
  bounds.push_back(rec.frames());

  // A pause lies within the write that came late: the sound after it begins at the break or
  // up to a write's length (a few milliseconds) later.
  const auto write_slack = static_cast<long long>(kWriteSeconds * rec.rate);
  for (size_t seg = 0; seg + 1 < bounds.size(); ++seg) {
    const auto seg_begin = static_cast<long long>(bounds[seg]);
    const auto seg_end = static_cast<long long>(bounds[seg + 1]);
    long long expect = seg_begin;
    bool first = true;
    for (;;) {
      // The file's start: at the segment's start just after a pause, or where the run before
      // ended; a probe no longer than what the segment holds from there.
      const long long frames = std::min(probe, seg_end - expect);
      if (frames <= 0) break;
      const long long lo = first ? expect - write_slack : expect - seek;
      SoundMatch m = find_sound(rec, lo, expect + seek, ring, 0, static_cast<size_t>(frames));
      RingRun run;
      run.start = m.at;
      // A recorder that paused briefly within a run (a busy host) goes on with the same file,
      // a few frames lost or not: where the file sounds alike at both places, it goes on.
      const RingRun* before = runs.empty() ? nullptr : &runs.back();
      if (first && waits[seg] < kBriefPauseSeconds && before != nullptr && !before->whole &&
          static_cast<long long>(before->end) == seg_begin) {
        const long long into = seg_begin - before->start;
        const long long n = std::min({probe, length - into, seg_end - seg_begin});
        if (into > 0 && n > 0) {
          // Where the recording after the pause lies in the file: what came before the
          // pause is no guide, the frames lost in it were never recorded.
          SoundMatch c = find_sound(ring, into - seek, into + seek, rec,
                                    static_cast<size_t>(seg_begin), static_cast<size_t>(n));
          if (c.score >= kFound && c.score >= m.score - kAlike) {
            run.start = seg_begin - c.at;
            run.resumed = true;
          }
        }
      }
      run.segment = seg;
      run.begin = static_cast<size_t>(std::max(run.start, seg_begin));
      run.end = static_cast<size_t>(std::min(run.start + length, seg_end));
      if (run.end <= run.begin) break;
      run.whole = run.start + length <= seg_end + slack;
      settle(rec, ring, &run);
      // A run played to its end may lose its last frames: the next begins where they were.
      if (!first && runs.back().end > run.begin) {
        runs.back().end = run.begin;
        settle(rec, ring, &runs.back());
      }
      first = false;
      runs.push_back(run);
      // The next run follows at once, unless this one was cut or the segment is at its end.
      if (!run.whole || seg_end - (run.start + length) < seek) break;
      expect = run.start + length;
    }
  }
  return runs;
}

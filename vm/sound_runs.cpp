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
// milliseconds as a stream stops. One that ends later than the file's last audible frame
// was played to it too: what it lacks is the file's quiet end, some of which the card loses
// as the stream stops (the guest's decoder and ours agree on the file's length; qemu's HDA
// stream loses a couple of dozen milliseconds at a restart) and a pause of the recorder may
// hide.
constexpr double kWholeSlackSeconds = 0.05;
// qemu writes its recording 1024 frames at a time.
constexpr double kWriteSeconds = 0.03;
// A pause shorter than this may be the recorder's within a run; a longer one is a stop.
constexpr double kBriefPauseSeconds = 1.0;
// Correlations this close are alike.
constexpr double kAlike = 0.01;
// Below this the probe did not find the file where a run should begin.
constexpr double kFound = 0.5;

// A run is compared with the file a quarter of a second at a time; a window that does not
// fit where the one before it did is looked for this far about it (an underrun in the guest
// loses frames, and the rest of the run comes that much early).
constexpr double kWindowSeconds = 0.25;
constexpr double kDriftSeconds = 0.05;
constexpr double kFits = 0.9;

double energy(const SoundTrack& t, size_t from, size_t n) {
  double e = 0;
  for (size_t i = from; i < from + n; ++i) e += double(t.mono[i]) * t.mono[i];
  return e;
}

// The run's correlation with the file (window by window, each weighted by the file's energy
// in it, following the frames lost), and its audible frames.
void settle(const SoundTrack& rec, const SoundTrack& ring, RingRun* run) {
  const auto length = static_cast<long long>(ring.frames());
  const auto window = static_cast<long long>(kWindowSeconds * rec.rate);
  const auto drift = static_cast<long long>(kDriftSeconds * rec.rate);
  long long offset = run->start;  // the recording's frame where the file's frame 0 lies
  double weighted = 0, weights = 0;
  run->lost = 0;
  for (auto w = static_cast<long long>(run->begin); w < static_cast<long long>(run->end);
       w += window) {
    const long long p = w - offset;
    const long long n = std::min({window, static_cast<long long>(run->end) - w, length - p});
    if (p < 0 || n <= 0) continue;
    double score = correlation(rec, static_cast<size_t>(w), ring, static_cast<size_t>(p),
                               static_cast<size_t>(n));
    const double e = energy(ring, static_cast<size_t>(p), static_cast<size_t>(n));
    if (score < kFits && e > 0) {
      SoundMatch m = find_sound(ring, p - drift, p + drift, rec, static_cast<size_t>(w),
                                static_cast<size_t>(n));
      if (m.score > score) {
        run->lost += m.at - p;
        offset = w - m.at;
        score = m.score;
      }
    }
    weighted += score * e;
    weights += e;
  }
  run->score = weights > 0 ? weighted / weights : 0.0;
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
  // The file frames a run must hold to have played all of the file's sound.
  const auto sounding = static_cast<long long>(heard.empty() ? 0 : heard.back().last + 1);
  const auto played_to_end = [&](long long file_start, long long upto) {
    return file_start + length <= upto + slack || file_start + sounding <= upto;
  };
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
      long long hi = expect + seek;
      const RingRun* before = runs.empty() ? nullptr : &runs.back();
      // A run played to its last sound before a pause may have had some of its quiet end
      // still to play after it: the file starts again up to that much later.
      if (first && before != nullptr && before->whole) {
        hi = std::max(hi, before->start - before->lost + length + seek);
      }
      SoundMatch m = find_sound(rec, lo, hi, ring, 0, static_cast<size_t>(frames));
      RingRun run;
      run.start = m.at;
      // A recorder that paused briefly within a run (a busy host) goes on with the same file,
      // a few frames lost or not: where the file sounds alike at both places, it goes on.
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
      run.whole = played_to_end(run.start, seg_end);
      settle(rec, ring, &run);
      // Frames lost within the run bring its end that much earlier.
      const long long file_end = run.start - run.lost + length;
      if (run.lost != 0) {
        run.end = static_cast<size_t>(
            std::max(std::min(file_end, seg_end), 1LL + static_cast<long long>(run.begin)));
        run.whole = played_to_end(run.start - run.lost, seg_end);
        const long long lost = run.lost;
        settle(rec, ring, &run);
        run.lost = lost;
      }
      // A run played to its end may lose its last frames: the next begins where they were.
      // One cut by a pause goes on into the write that was late only as far as its sound
      // does: that write holds what the recorder had buffered before the pause (its last
      // frames, up to a write's length) and then what came after it, so quiet frames there
      // belong to the pause, and a run whose sound ended before the pause ends at it.
      if (!runs.empty() && !run.resumed) {
        RingRun& before = runs.back();
        const long long before_end = before.start - before.lost + length;
        if (!first && static_cast<long long>(before.end) > static_cast<long long>(run.begin)) {
          before.end = run.begin;
          settle(rec, ring, &before);
        } else if (first && static_cast<long long>(before.end) == seg_begin &&
                   run.begin > before.end && before_end >= static_cast<long long>(run.begin)) {
          size_t sound_end = before.end;
          for (size_t i = before.end; i < run.begin; ++i) {
            if (std::abs(static_cast<int>(rec.mono[i])) >= kAudibleLevel) sound_end = i + 1;
          }
          if (sound_end > before.end) {
            before.end = sound_end;
            settle(rec, ring, &before);
          }
        }
      }
      first = false;
      runs.push_back(run);
      // The next run follows at once, unless this one was cut or the segment is at its end.
      if (!run.whole || seg_end - file_end < seek) break;
      expect = file_end;
    }
  }
  return runs;
}

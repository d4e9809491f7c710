#include "sim/sound_sink.h"

#include <cstdio>
#include <sstream>

namespace {

constexpr char kLog[] = "/sound.log";

bool read_stream(const std::string& sim_dir, const SinkStream& s, SoundTrack* t) {
  // Only a file of the sink's own naming, inside sim_dir.
  if (s.file.find('/') != std::string::npos || s.file.rfind("sound-", 0) != 0) return false;
  std::string why;
  return read_sound(sim_dir + "/" + s.file, t, &why) && t->rate > 0;
}

std::vector<SinkStream> read_log(const std::string& sim_dir) {
  std::string text;
  FILE* f = fopen((sim_dir + kLog).c_str(), "re");
  if (f == nullptr) return {};
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return parse_sound_log(text);
}

}  // namespace

std::vector<SinkStream> sink_streams(const std::string& sim_dir) {
  return read_log(sim_dir);
}

std::vector<SinkStream> parse_sound_log(const std::string& text) {
  std::vector<SinkStream> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    SinkStream s;
    std::string rest;
    if (words >> s.open_ms >> s.file >> s.rate >> s.channels && !(words >> rest) && s.rate > 0 &&
        s.channels > 0) {
      out.push_back(s);
    }
  }
  return out;
}

std::vector<HeardSound> heard_sounds(const std::string& sim_dir) {
  std::vector<HeardSound> out;
  std::vector<SinkStream> streams = sink_streams(sim_dir);
  for (size_t i = 0; i < streams.size(); ++i) {
    SoundTrack t;
    if (!read_stream(sim_dir, streams[i], &t)) continue;
    const double open = static_cast<double>(streams[i].open_ms) / 1000.0;
    for (const AudibleStretch& a : audible_stretches(t, kSinkBridgeSeconds)) {
      out.push_back({open + t.seconds(a.first), open + t.seconds(a.last + 1), i + 1});
    }
  }
  return out;
}

double audible_seconds(const std::vector<HeardSound>& heard) {
  double sum = 0;
  for (const HeardSound& h : heard) sum += h.off - h.on;
  return sum;
}

SoundTrack run_sound_track(const std::string& sim_dir, double from, double to, int rate) {
  SoundTrack out;
  out.rate = rate;
  out.channels = 1;
  if (to <= from || rate <= 0) return out;
  out.mono.assign(static_cast<size_t>((to - from) * rate), 0);
  for (const SinkStream& s : sink_streams(sim_dir)) {
    SoundTrack t;
    if (!read_stream(sim_dir, s, &t) || t.rate != rate) continue;
    const auto at = static_cast<long long>((static_cast<double>(s.open_ms) / 1000.0 - from) * rate);
    for (size_t i = 0; i < t.frames(); ++i) {
      const long long k = at + static_cast<long long>(i);
      if (k >= 0 && k < static_cast<long long>(out.frames()))
        out.mono[static_cast<size_t>(k)] = t.mono[i];
    }
  }
  return out;
}

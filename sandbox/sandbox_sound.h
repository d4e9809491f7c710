// The sandbox's sound card: a sink that keeps each opened stream as a WAV file, paced by the
// sandbox's clock, so what the ring player played can be heard and measured afterwards.
//
//   DIR/sim/sound-<N>.wav   one per stream, N counting from 1 in a run; 16-bit PCM at the
//                           rate and channels played; its lengths are right after every
//                           write, so a player killed in the middle leaves a valid file
//   DIR/sim/sound.log       a line per stream: "<virtual epoch ms at open> sound-<N>.wav
//                           <rate> <channels>"
//   DIR/sim/mixer.log       a line per mixer setting: "<name> = <value>"
//
// A write of K frames takes K/rate of the sandbox's virtual time, waited on its clock, so a
// jumping clock counts it like any other wait. Card 0, device 0 is the only one there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sound.h"
#include "sandbox/sandbox_clock.h"

constexpr char SANDBOX_SOUND_PREFIX[] = "/sim/sound-";
constexpr char SANDBOX_SOUND_SUFFIX[] = ".wav";
constexpr char SANDBOX_SOUND_LOG[] = "/sim/sound.log";
constexpr char SANDBOX_MIXER_LOG[] = "/sim/mixer.log";
constexpr int SANDBOX_SOUND_FILES_MAX = 100000;  // sound-1.wav to sound-99999.wav

// A stream into the sandbox `root`'s next sound file; null with errno (ENOENT for a card or
// device that is not there, or when the file cannot be made).
std::unique_ptr<SoundStream> open_sandbox_sound(const std::string& root, SandboxClock& clock,
                                                const SoundRequest& request);
// Records a mixer setting of card 0 in the sandbox's mixer log: 0, or -1 with errno.
int record_sandbox_mixer_setting(const std::string& root, int card, const char* name,
                                 const char* value);
// Removes the sound files, the sound log and the mixer log: a run's numbering starts at 1.
void clear_sandbox_sound(const std::string& root);

// A WAV file as the sink writes it, read back (16-bit PCM, the data chunk after "fmt ").
struct SandboxWav {
  unsigned rate = 0;
  unsigned channels = 0;
  std::vector<int16_t> samples;  // interleaved
};
bool read_sandbox_wav(const std::string& path, SandboxWav* wav);

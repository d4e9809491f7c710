// What the ring player needs of a sound card: a playback stream of 16-bit interleaved frames
// on one of its devices, and the card's mixer controls set by name. The phone talks to the
// kernel's ALSA devices (platform/linux_sound.cpp); the sandbox keeps what is played as WAV
// files paced by its clock (sandbox/sandbox_sound.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// A playback stream opened at the rate and channel count it plays, which may differ from the
// ones asked for when the card takes other ones.
class SoundStream {
 public:
  virtual ~SoundStream() = default;
  unsigned rate() const { return rate_; }
  unsigned channels() const { return channels_; }
  // Plays `frames` frames (rate x channels interleaved samples), blocking until the card has
  // taken them all: 0, or -errno (EINTR when a signal came first; what was taken stays).
  virtual int write(const int16_t* samples, size_t frames) = 0;
  // Frames written and not heard yet.
  virtual int64_t queued_frames() = 0;
  // Ends at once: what the card still holds is thrown away.
  virtual void drop() = 0;
  // Waits until what the card holds has been heard (or a signal came), then ends.
  virtual void drain() = 0;

 protected:
  SoundStream(unsigned rate, unsigned channels) : rate_(rate), channels_(channels) {}

 private:
  unsigned rate_;
  unsigned channels_;
};

struct SoundRequest {
  int card = 0;
  int device = 0;
  unsigned rate = 48000;
  unsigned channels = 2;
};

// The device nodes, as the kernel names them.
constexpr char SOUND_PCM_PATH_FORMAT[] = "/dev/snd/pcmC%dD%dp";
constexpr char SOUND_CONTROL_PATH_FORMAT[] = "/dev/snd/controlC%d";

// The phone's sound card, through the kernel's ALSA devices (platform/linux_sound.cpp).
#pragma once

#include <memory>
#include <string>

#include "platform/sound.h"

// A playback stream on the PCM device node `pcm_path`: the asked rate and channel count when
// the card takes them, else the nearest it takes of 48000, 44100, 32000, 16000 Hz and 2 or
// 1 channels. Null with errno when the device is missing (ENOENT), busy (EBUSY) or takes
// none of them (EINVAL).
std::unique_ptr<SoundStream> open_alsa_playback(const std::string& pcm_path, unsigned rate,
                                                unsigned channels);

// Sets the control `name` on the card's control node `control_path` (every value of the
// control to the same one): 0, or -1 with errno (ENOENT: no such control; EINVAL: a value
// it cannot take).
int set_alsa_mixer_control(const std::string& control_path, const char* name, const char* value);

// A control's value text read for an integer control of range [min, max]: a number (kept
// within the range), "N%" of the range, "on"/"off". False when it reads as none of them.
bool mixer_integer_value(const char* text, long min, long max, long* value);

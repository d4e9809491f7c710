// The ring player's settings: which card and device it plays on, the mixer controls that
// route the sound to the loudspeaker at the alarm's level, and a gradual rise.
//
// Its own file, "/system/etc/mplayer.conf", holds "name = value" lines ('#' starts a comment):
//   card = 0                 the sound card (default 0)
//   device = 0               its playback device (default 0)
//   rise_seconds = 30        the ring rises from silence to its level over this long
//                            (default 0: at its level from the start)
//   mixer_paths = /vendor/etc/mixer_paths.xml
//                            the phone's mixer paths file whose "speaker" path is set
//                            (default: "/system/etc/mixer_paths.xml" when it exists)
//   Speaker Playback Volume = 80%
//                            any other line sets that control of the card's mixer, after
//                            the mixer paths file's: a number, "N%" of its range, on/off, or
//                            one of its items by name
#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr char PLAYER_CONFIG_PATH[] = "/system/etc/mplayer.conf";
constexpr char PLAYER_MIXER_PATHS[] = "/system/etc/mixer_paths.xml";
constexpr char PLAYER_SPEAKER_PATH[] = "speaker";
constexpr int PLAYER_MAX_CARD = 31;
constexpr int PLAYER_MAX_RISE_SECONDS = 3600;
constexpr size_t PLAYER_MAX_SETTINGS = 512;
// The largest settings or mixer paths file read; a bigger one is not a phone's.
constexpr size_t PLAYER_MAX_FILE_BYTES = 1 << 20;

struct MixerSetting {
  std::string name;
  std::string value;
};

struct PlayerConfig {
  int card = 0;
  int device = 0;
  int rise_seconds = 0;
  std::string mixer_paths;  // phone path; empty: PLAYER_MIXER_PATHS where it exists
  std::vector<MixerSetting> controls;
};

// Reads the settings text into `config` (which keeps its defaults for what is not given).
// Each line it cannot take is skipped and counted: the number of such lines.
int parse_player_config(std::string_view text, PlayerConfig* config);

// The settings of `path` in a mixer_paths.xml, as Android's audio HAL applies them: the
// mixer's own default controls first, then the path's, the paths it names included in their
// place. False (and nothing in `out`) when the text is not such a file or has no such path.
bool parse_mixer_paths(std::string_view xml, const char* path, std::vector<MixerSetting>* out);

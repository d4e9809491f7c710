// The ring player's settings: the input is read both as its own settings file and as a
// phone's mixer_paths.xml (expat). Whatever it holds, the settings stay within their ranges
// and the number of mixer controls within the player's bound, and a path that names itself
// comes to an end.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "player/player_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  PlayerConfig config;
  int refused = parse_player_config(text, &config);
  FUZZ_CHECK(refused >= 0);
  FUZZ_CHECK(config.card >= 0 && config.card <= PLAYER_MAX_CARD);
  FUZZ_CHECK(config.device >= 0 && config.device <= PLAYER_MAX_CARD);
  FUZZ_CHECK(config.rise_seconds >= 0 && config.rise_seconds <= PLAYER_MAX_RISE_SECONDS);
  FUZZ_CHECK(config.controls.size() <= PLAYER_MAX_SETTINGS);
  FUZZ_CHECK(config.mixer_paths.empty() || config.mixer_paths[0] == '/');
  for (const MixerSetting& m : config.controls) {
    FUZZ_CHECK(!m.name.empty() && !m.value.empty());
    FUZZ_CHECK(m.name.find('\n') == std::string::npos && m.value.find('\n') == std::string::npos);
  }
  std::vector<MixerSetting> settings;
  bool found = parse_mixer_paths(text, PLAYER_SPEAKER_PATH, &settings);
  FUZZ_CHECK(found || settings.empty());
  FUZZ_CHECK(settings.size() <= PLAYER_MAX_SETTINGS);
  return 0;
}

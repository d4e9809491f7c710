#include "player/player_config.h"

#include <expat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// Paths that name paths that name paths...: deeper than this is a loop.
constexpr int kMaxPathDepth = 8;
constexpr size_t kMaxValueLength = 256;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool read_number(std::string_view text, int max, int* out) {
  if (text.empty() || text.size() > 4) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > max) return false;
  *out = n;
  return true;
}

// One item of a path: a control to set, or another path to take in.
struct PathItem {
  bool is_path = false;
  MixerSetting setting;
};

struct MixerPaths {
  int depth = 0;       // of elements
  int path_depth = 0;  // depth of the <path> being read, 0 outside one
  std::string path;    // its name
  std::vector<MixerSetting> defaults;
  std::map<std::string, std::vector<PathItem>> paths;
  size_t items = 0;
  bool is_mixer = false;
};

const char* attribute(const XML_Char** attrs, const char* name) {
  for (int i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
    if (strcmp(attrs[i], name) == 0) return attrs[i + 1];
  }
  return nullptr;
}

void XMLCALL on_start(void* data, const XML_Char* element, const XML_Char** attrs) {
  auto* m = static_cast<MixerPaths*>(data);
  ++m->depth;
  if (m->depth == 1) {
    m->is_mixer = strcmp(element, "mixer") == 0;
    return;
  }
  if (!m->is_mixer || m->items >= PLAYER_MAX_SETTINGS) return;
  const char* name = attribute(attrs, "name");
  if (name == nullptr) return;
  if (strcmp(element, "path") == 0) {
    if (m->path_depth == 0 && m->depth == 2) {
      m->path_depth = m->depth;
      m->path = name;
      m->paths[m->path];  // a path may be empty, and still is one
    } else if (m->path_depth != 0) {
      PathItem item;
      item.is_path = true;
      item.setting.name = name;
      m->paths[m->path].push_back(item);
      ++m->items;
    }
    return;
  }
  if (strcmp(element, "ctl") != 0) return;
  const char* value = attribute(attrs, "value");
  if (value == nullptr || strlen(value) > kMaxValueLength) return;
  MixerSetting s{name, value};
  if (m->path_depth != 0) {
    PathItem item;
    item.setting = s;
    m->paths[m->path].push_back(item);
  } else if (m->depth == 2) {
    m->defaults.push_back(s);
  }
  ++m->items;
}

void XMLCALL on_end(void* data, const XML_Char*) {
  auto* m = static_cast<MixerPaths*>(data);
  if (m->depth == m->path_depth) m->path_depth = 0;
  --m->depth;
}

// Items looked at in all, paths taken in many times over included: a file that names one path
// from another again and again is not let to make the player work for ever.
constexpr size_t kMaxItemsVisited = 16384;

bool expand(const MixerPaths& m, const std::string& name, int depth, size_t* visited,
            std::vector<MixerSetting>* out) {
  auto it = m.paths.find(name);
  if (it == m.paths.end() || depth > kMaxPathDepth) return false;
  for (const PathItem& item : it->second) {
    if (++*visited > kMaxItemsVisited) break;
    if (!item.is_path) {
      if (out->size() < PLAYER_MAX_SETTINGS) out->push_back(item.setting);
    } else {
      // A path it names that is not there is left out, as the audio HAL does.
      expand(m, item.setting.name, depth + 1, visited, out);
    }
  }
  return true;
}

}  // namespace

int parse_player_config(std::string_view text, PlayerConfig* config) {
  int refused = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    line = trim(line);
    if (line.empty()) continue;
    // A control's name may hold spaces but no '=': the value is after the last one.
    size_t eq = line.rfind('=');
    std::string_view name = eq == std::string_view::npos ? "" : trim(line.substr(0, eq));
    std::string_view value = eq == std::string_view::npos ? "" : trim(line.substr(eq + 1));
    bool ok = !name.empty() && !value.empty() && value.size() <= kMaxValueLength;
    if (ok && name == "card") {
      ok = read_number(value, PLAYER_MAX_CARD, &config->card);
    } else if (ok && name == "device") {
      ok = read_number(value, PLAYER_MAX_CARD, &config->device);
    } else if (ok && name == "rise_seconds") {
      ok = read_number(value, PLAYER_MAX_RISE_SECONDS, &config->rise_seconds);
    } else if (ok && name == "mixer_paths") {
      ok = value.front() == '/';
      if (ok) config->mixer_paths = std::string(value);
    } else if (ok) {
      ok = config->controls.size() < PLAYER_MAX_SETTINGS;
      if (ok) config->controls.push_back({std::string(name), std::string(value)});
    }
    if (!ok) ++refused;
  }
  return refused;
}

bool parse_mixer_paths(std::string_view xml, const char* path, std::vector<MixerSetting>* out) {
  out->clear();
  if (xml.size() > PLAYER_MAX_FILE_BYTES) return false;
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) return false;
  MixerPaths m;
  XML_SetUserData(parser, &m);
  XML_SetElementHandler(parser, on_start, on_end);
  bool parsed = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_ERROR;
  XML_ParserFree(parser);
  if (!parsed || !m.is_mixer) return false;
  std::vector<MixerSetting> settings = m.defaults;
  size_t visited = 0;
  if (!expand(m, path, 0, &visited, &settings)) return false;
  *out = std::move(settings);
  return true;
}

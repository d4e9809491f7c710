#include "sandbox/sandbox_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sandbox/sandbox_jumps.h"

namespace {

constexpr char kFbInfoSuffix[] = ".info";
constexpr char kFbVarSuffix[] = ".var";
constexpr char kConsoleModeSuffix[] = ".mode";
constexpr char kSynced[] = "synced";
constexpr char kUnsynced[] = "unsynced";

bool parse_key_values(const std::string& text, const char* key, uint32_t* value) {
  std::istringstream in(text);
  std::string line;
  size_t klen = strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, klen, key) == 0 && line.size() > klen && line[klen] == '=') {
      char* end = nullptr;
      unsigned long v = strtoul(line.c_str() + klen + 1, &end, 10);
      if (end == line.c_str() + klen + 1) return false;
      *value = static_cast<uint32_t>(v);
      return true;
    }
  }
  return false;
}

std::string without_line_end(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

bool read_text_file(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return false;
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool replace_text_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

namespace {

// The optional "swapped" line: true whether or not it is there.
bool read_swapped(const std::string& text, SandboxFbGeometry* g) {
  uint32_t swapped = 0;
  parse_key_values(text, "swapped", &swapped);
  g->red_blue_swapped = swapped != 0;
  return true;
}

}  // namespace

bool read_sandbox_fb_geometry(const std::string& fb_path, SandboxFbGeometry* g) {
  std::string text;
  if (!read_text_file(fb_path + kFbInfoSuffix, &text)) return false;
  return parse_key_values(text, "xres", &g->xres) && parse_key_values(text, "yres", &g->yres) &&
         parse_key_values(text, "bits_per_pixel", &g->bits_per_pixel) &&
         parse_key_values(text, "line_length", &g->line_length) &&
         parse_key_values(text, "smem_len", &g->smem_len) && read_swapped(text, g);
}

bool write_sandbox_fb_geometry(const std::string& fb_path, const SandboxFbGeometry& g) {
  char text[256];
  snprintf(text, sizeof text,
           "xres=%u\nyres=%u\nbits_per_pixel=%u\nline_length=%u\nsmem_len=%u\nswapped=%d\n", g.xres,
           g.yres, g.bits_per_pixel, g.line_length, g.smem_len, g.red_blue_swapped ? 1 : 0);
  return replace_text_file(fb_path + kFbInfoSuffix, text);
}

bool read_sandbox_fb_offset(const std::string& fb_path, uint32_t* yoffset, uint32_t* yres_virtual) {
  SandboxFbGeometry g;
  if (!read_sandbox_fb_geometry(fb_path, &g)) return false;
  *yoffset = 0;
  *yres_virtual = g.yres;
  std::string text;
  if (read_text_file(fb_path + kFbVarSuffix, &text)) {
    parse_key_values(text, "yoffset", yoffset);
    parse_key_values(text, "yres_virtual", yres_virtual);
  }
  return true;
}

bool write_sandbox_fb_offset(const std::string& fb_path, uint32_t yoffset, uint32_t yres_virtual) {
  char text[96];
  snprintf(text, sizeof text, "yoffset=%u\nyres_virtual=%u\n", yoffset, yres_virtual);
  return replace_text_file(fb_path + kFbVarSuffix, text);
}

bool write_sandbox_console_mode(const std::string& console_path, bool graphics) {
  return replace_text_file(console_path + kConsoleModeSuffix, graphics ? "graphics\n" : "text\n");
}

std::string read_sandbox_console_mode(const std::string& console_path) {
  std::string text;
  if (!read_text_file(console_path + kConsoleModeSuffix, &text)) return "";
  return without_line_end(text);
}

bool write_sandbox_poweroff(const std::string& root, const SandboxPoweroff& record) {
  char text[96];
  snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64 " %s\n", record.at_us / 1000000,
           record.at_us % 1000000, record.synced ? kSynced : kUnsynced);
  return replace_text_file(root + SANDBOX_POWEROFF_RECORD, text);
}

bool read_sandbox_poweroff(const std::string& root, SandboxPoweroff* record) {
  std::string text;
  if (!read_text_file(root + SANDBOX_POWEROFF_RECORD, &text)) return false;
  long long secs = 0;
  long long micros = 0;
  char word[16] = {};
  if (sscanf(text.c_str(), "%lld.%6lld %15s", &secs, &micros, word) != 3) return false;
  record->at_us = secs * 1000000 + micros;
  record->synced = strcmp(word, kSynced) == 0;
  return true;
}

std::string format_player_start(const PlayerStart& start) {
  std::string line = "start " + std::to_string(start.pid) + " " + std::to_string(start.parent_pid) +
                     " " + std::to_string(start.at_us);
  if (!start.args.empty()) line += " ";
  for (char c : start.args) line += (c == '\n' || c == '\r') ? '_' : c;
  if (line.size() > SANDBOX_PLAYER_LINE_LIMIT - 1) line.resize(SANDBOX_PLAYER_LINE_LIMIT - 1);
  return line + "\n";
}

bool parse_player_start(const std::string& text, PlayerStart* start) {
  std::string line = without_line_end(text);
  long pid = 0;
  long parent = 0;
  long long at_us = 0;
  int consumed = 0;
  if (sscanf(line.c_str(), "start %ld %ld %lld%n", &pid, &parent, &at_us, &consumed) != 3 ||
      pid <= 0) {
    return false;
  }
  start->pid = pid;
  start->parent_pid = parent;
  start->at_us = at_us;
  size_t rest = static_cast<size_t>(consumed);
  start->args = rest < line.size() ? line.substr(rest + 1) : "";
  return true;
}

std::string format_player_reply(long play_ms) {
  return "play " + std::to_string(play_ms) + "\n";
}

bool parse_player_reply(const std::string& line, long* play_ms) {
  long ms = 0;
  if (sscanf(line.c_str(), "play %ld", &ms) != 1 || ms < 0) return false;
  *play_ms = ms;
  return true;
}

std::string format_sqlite_log_entry(const SqliteLogEntry& entry) {
  return std::to_string(entry.at_us) + " " + entry.kind + " " + entry.state + "\n";
}

bool append_sandbox_log_entry(const std::string& path, const SqliteLogEntry& entry) {
  std::string line = format_sqlite_log_entry(entry);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write of a short line: lines of several writers never mix.
  ssize_t put = write(fd, line.data(), line.size());
  close(fd);
  return put == static_cast<ssize_t>(line.size());
}

std::vector<SqliteLogEntry> parse_sqlite_log(const std::string& text) {
  std::vector<SqliteLogEntry> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    long long at_us = 0;
    char kind[16] = {};
    int consumed = 0;
    if (sscanf(line.c_str(), "%lld %15s %n", &at_us, kind, &consumed) != 2 || consumed <= 0 ||
        static_cast<size_t>(consumed) >= line.size()) {
      continue;
    }
    out.push_back({at_us, kind, line.substr(static_cast<size_t>(consumed))});
  }
  return out;
}

std::vector<std::string> sandbox_environment_entries(const SandboxEnvironment& env) {
  char clock[128];
  snprintf(clock, sizeof clock, "%" PRId64 " %" PRId64 " %.17g %" PRId64, env.start_us,
           env.mono_start_ns, env.speed, env.wake_us);
  std::string clock_text = clock;
  for (size_t i = 0; i < env.slow.size(); ++i) {
    snprintf(clock, sizeof clock, "%s%" PRId64 ":%" PRId64 ":%.17g", i ? "," : " ",
             env.slow[i].from_us, env.slow[i].to_us, env.slow[i].speed);
    clock_text += clock;
  }
  std::vector<std::string> out = {std::string(SANDBOX_ROOT_ENV) + "=" + env.root,
                                  std::string(SANDBOX_CLOCK_ENV) + "=" + clock_text};
  if (!env.clock_record.empty()) {
    out.push_back(std::string(SANDBOX_CLOCK_RECORD_ENV) + "=" + env.clock_record);
  }
  if (!env.faults.empty()) out.push_back(std::string(SANDBOX_FAULTS_ENV) + "=" + env.faults);
  return out;
}

bool read_sandbox_environment(SandboxEnvironment* env) {
  const char* root = getenv(SANDBOX_ROOT_ENV);
  const char* clock = getenv(SANDBOX_CLOCK_ENV);
  if (root == nullptr || root[0] != '/' || clock == nullptr) return false;
  long long start_us = 0;
  long long mono_ns = 0;
  double speed = 1.0;
  long long wake_us = 0;
  int consumed = 0;
  int fields =
      sscanf(clock, "%lld %lld %lf %lld %n", &start_us, &mono_ns, &speed, &wake_us, &consumed);
  if (fields < 3 || !(speed > 0)) return false;
  env->root = root;
  env->start_us = start_us;
  env->mono_start_ns = mono_ns;
  env->speed = speed;
  env->wake_us = fields >= 4 && wake_us <= start_us ? wake_us : start_us;
  env->slow.clear();
  if (fields == 4 && consumed > 0) {
    // "from:to:speed,from:to:speed": a damaged stretch ends the list.
    const char* p = clock + consumed;
    long long from = 0, to = 0;
    double stretch_speed = 0;
    int used = 0;
    while (sscanf(p, "%lld:%lld:%lf%n", &from, &to, &stretch_speed, &used) == 3 && used > 0 &&
           stretch_speed > 0) {
      env->slow.push_back({from, to, stretch_speed});
      p += used;
      if (*p != ',') break;
      ++p;
    }
  }
  const char* record = getenv(SANDBOX_CLOCK_RECORD_ENV);
  env->clock_record = record != nullptr && record[0] == '/' ? record : "";
  const char* faults = getenv(SANDBOX_FAULTS_ENV);
  env->faults = faults != nullptr ? faults : "";
  return true;
}

std::unique_ptr<SandboxClock> sandbox_clock(const SandboxEnvironment& env) {
  if (!env.clock_record.empty()) return JumpingClock::open(env.clock_record, env.speed, env.slow);
  return std::make_unique<VirtualClock>(env.start_us, env.mono_start_ns, env.speed, env.slow);
}

#include "sim/sandbox_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_flag.h"
#include "alarm/alarm_rtc.h"
#include "base/decimal_text.h"
#include "base/shell.h"
#include "base/system_property.h"
#include "base/time_zone.h"
#include "devices/backlight.h"
#include "devices/music.h"
#include "devices/vibrator.h"
#include "input/input_devices.h"
#include "input/tp_calibration.h"
#include "sandbox/sandbox_platform.h"
#include "screen/font_list.h"
#include "screen/graphics.h"

namespace {

bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
  std::string data;
  if (!read_text_file(from, &data)) return false;
  unlink(to.c_str());
  int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  close(fd);
  return ok;
}

bool copy_png_dir(const std::string& from, const std::string& to) {
  DIR* d = opendir(from.c_str());
  if (d == nullptr) return false;
  bool ok = make_dirs(to);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
      ok = copy_file(from + "/" + name, to + "/" + name, 0644) && ok;
    }
  }
  closedir(d);
  return ok;
}

std::string parent_dir(const char* path) {
  std::string p = path;
  return p.substr(0, p.rfind('/'));
}

bool symlink_fresh(const std::string& target, const std::string& link) {
  unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
}

// The phone's font files: links to Debian's, so a sandbox stays a few kilobytes.
bool lay_fonts(const std::string& root) {
  if (!make_dirs(root + FONTS_DIR_PATH) || !make_dirs(root + parent_dir(FONTS_XML_PATH))) {
    return false;
  }
  for (size_t i = 0; i < SANDBOX_FONT_COUNT; ++i) {
    const SandboxFont& f = SANDBOX_FONTS[i];
    if (access(f.host_path, R_OK) != 0) continue;
    if (!symlink_fresh(f.host_path, root + FONTS_DIR_PATH + f.phone_name)) return false;
  }
  return write_file(root + FONTS_XML_PATH, sandbox_fonts_xml());
}

}  // namespace

bool make_dirs(const std::string& path) {
  std::string sofar;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    sofar = path.substr(0, pos);
    if (sofar.empty()) continue;
    if (mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  return ok;
}

bool make_fifo(const std::string& path) {
  unlink(path.c_str());
  return mkfifo(path.c_str(), 0644) == 0;
}

bool make_framebuffer(const std::string& root, int width, int height, int bits_per_pixel,
                      bool red_blue_swapped) {
  std::string fb = root + FB_DEVICE_PATH;
  SandboxFbGeometry g;
  g.xres = static_cast<uint32_t>(width);
  g.yres = static_cast<uint32_t>(height);
  g.bits_per_pixel = static_cast<uint32_t>(bits_per_pixel);
  g.red_blue_swapped = red_blue_swapped;
  uint32_t bytes = bits_per_pixel == 16 ? 2 : 4;
  g.line_length = g.xres * bytes;
  g.smem_len = g.line_length * g.yres * 2;
  if (!make_dirs(root + parent_dir(FB_DEVICE_PATH))) return false;
  int fd = open(fb.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, g.smem_len) == 0;
  close(fd);
  unlink((fb + ".var").c_str());
  return ok && write_sandbox_fb_geometry(fb, g);
}

bool run_sqlite(const std::string& db, const std::string& sql, std::string* output) {
  std::string tool = find_in_path("sqlite3");
  if (tool.empty()) return false;
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    execl(tool.c_str(), "sqlite3", db.c_str(), sql.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(out_pipe[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = out;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string find_in_path(const char* name, const std::string& skip) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    char real[PATH_MAX];
    if (end > start && access(candidate.c_str(), X_OK) == 0 &&
        (skip.empty() || (realpath(candidate.c_str(), real) != nullptr && skip != real))) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

std::string self_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p = buf;
  return p.substr(0, p.rfind('/'));
}

bool sandbox_root_is_safe(const std::string& root) {
  if (root.empty() || root[0] != '/') return false;
  for (char c : root) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
    if (!ok) return false;
  }
  return true;
}

const SandboxFont SANDBOX_FONTS[] = {
    {"Roboto-Regular.ttf", "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Regular.ttf",
     nullptr},
    {"NotoNaskhArabic-Regular.ttf", "/usr/share/fonts/truetype/noto/NotoNaskhArabic-Regular.ttf",
     "und-Arab"},
    {"NotoSansHebrew-Regular.ttf", "/usr/share/fonts/truetype/noto/NotoSansHebrew-Regular.ttf",
     "und-Hebr"},
    {"NotoSansDevanagari-Regular.ttf",
     "/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf", "und-Deva"},
    {"NotoSansThai-Regular.ttf", "/usr/share/fonts/truetype/noto/NotoSansThai-Regular.ttf",
     "und-Thai"},
    {"NotoSansSymbols-Regular.ttf", "/usr/share/fonts/truetype/noto/NotoSansSymbols-Regular.ttf",
     "und-Zsym"},
    {"DroidSansFallback.ttf", "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
     "zh-Hans ja"},
};
const size_t SANDBOX_FONT_COUNT = sizeof SANDBOX_FONTS / sizeof SANDBOX_FONTS[0];

std::string sandbox_fonts_xml() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<!-- The sandbox's fonts: Debian's Roboto, Noto and Droid fallback. -->\n"
      "<familyset version=\"22\">\n";
  for (size_t i = 0; i < SANDBOX_FONT_COUNT; ++i) {
    const SandboxFont& f = SANDBOX_FONTS[i];
    xml += f.lang == nullptr ? "    <family name=\"sans-serif\">\n"
                             : std::string("    <family lang=\"") + f.lang + "\">\n";
    xml += std::string("        <font weight=\"400\" style=\"normal\">") + f.phone_name +
           "</font>\n    </family>\n";
    if (f.lang == nullptr) xml += "    <alias name=\"arial\" to=\"sans-serif\" />\n";
  }
  return xml + "</familyset>\n";
}

std::vector<FontFile> sandbox_host_fonts() {
  std::vector<FontFile> files;
  for (size_t i = 0; i < SANDBOX_FONT_COUNT; ++i) files.push_back({SANDBOX_FONTS[i].host_path, 0});
  return files;
}

bool build_sandbox(const std::string& root, const SandboxOptions& o, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  if (!sandbox_root_is_safe(root)) {
    return fail("sandbox path must be absolute and made of letters, digits and / . _ - +");
  }
  // The directories of every file below, and those the program finds empty.
  const std::string dirs[] = {parent_dir(SHELL_PATH),
                              parent_dir(SQLITE_TOOL_PATH),
                              parent_dir(ALARM_DB_PATH),
                              parent_dir(ALARM_DELAY_PATH),
                              parent_dir(ALARM_FLAG_PATH),
                              parent_dir(PERSISTENT_PROPERTIES_PATH),
                              parent_dir(ALARM_WORK_DIR),
                              "/res/images",
                              parent_dir(DEFAULT_RING_PATH),
                              parent_dir(VIBRATOR_PATH),
                              parent_dir(BACKLIGHT_PATH),
                              parent_dir(RTC_ALARM_OP_PATH),
                              std::string(SANDBOX_INPUT_SYSFS_PREFIX) + "0",
                              std::string(SANDBOX_INPUT_SYSFS_PREFIX) + "1",
                              INPUT_DIR_PATH,
                              parent_dir(FB_DEVICE_PATH),
                              parent_dir(PROP_SERVICE_SOCKET),
                              "/sim"};
  for (const std::string& d : dirs) {
    if (!make_dirs(root + d)) return fail("cannot make " + root + d);
  }

  if (!symlink_fresh("/bin/sh", root + SHELL_PATH)) return fail("cannot link the shell");
  std::string sqlite = find_in_path("sqlite3");
  if (sqlite.empty()) return fail("sqlite3 is not installed");
  if (!symlink_fresh(sqlite, root + SQLITE_TOOL_PATH)) return fail("cannot link sqlite3");
  if (!o.player_path.empty() && !copy_file(o.player_path, root + MUSIC_PLAYER_PATH, 0755)) {
    return fail("cannot copy the ring player from " + o.player_path);
  }

  if (!o.clock_app.empty() && o.clock_app != "4.4" && o.clock_app != "7") {
    return fail("the clock application's database is of Android 4.4 or 7");
  }
  std::string db = root + clock_app_db_path(o.clock_app);
  if (!make_dirs(parent_dir(db.c_str()))) return fail("cannot make " + parent_dir(db.c_str()));
  unlink(db.c_str());
  if (o.clock_app.empty()) {
    if (!run_sqlite(db, ALARMS_TABLE_SQL)) return fail("sqlite3 could not make the alarm table");
  } else {
    std::string version = o.clock_app == "7" ? "8" : "7";
    if (!run_sqlite(db, std::string(CLOCK_APP_TABLES_SQL) + "PRAGMA user_version=" + version)) {
      return fail("sqlite3 could not make the clock application's tables");
    }
  }

  // Fields: two words the program skips, ring minutes, ring file, snooze minutes.
  bool ok = write_file(root + ALARM_FLAG_PATH,
                       std::string("alarm_flag 1 1 ") + DEFAULT_RING_PATH + " 5\n");
  ok = ok && write_file(root + TP_COEF_PATH, "-12 4096 7 -3 4100 15 65536");
  if (!o.ring_path.empty()) {
    ok = ok && copy_file(o.ring_path, root + DEFAULT_RING_PATH, 0644);
  } else {
    ok = ok && write_file(root + DEFAULT_RING_PATH, "sandbox ring tone\n");
  }
  if (!o.artwork_dir.empty()) {
    for (const char* cls : {"qvga", "hvga", "wvga"}) {
      if (!copy_png_dir(o.artwork_dir + "/" + cls, root + "/res/images/" + cls)) {
        return fail("cannot copy the artwork from " + o.artwork_dir + "/" + cls);
      }
    }
  }

  if (!lay_fonts(root)) return fail("cannot lay the fonts");

  ok = ok && write_file(root + VIBRATOR_PATH, "");
  ok = ok && write_file(root + BACKLIGHT_PATH, "");
  ok = ok && write_file(root + RTC_ALARM_OP_PATH,
                        std::to_string(static_cast<long long>(time(nullptr))) + "\n");
  ok = ok && write_file(root + RTC_ALARM_PARAM_PATH, "");
  ok = ok && write_file(root + RTC_WAKEALARM_PATH, "");
  if (!ok) return fail("cannot write the sandbox files");

  if (!make_fifo(root + SANDBOX_TOUCH_DEVICE) || !make_fifo(root + SANDBOX_KEY_DEVICE)) {
    return fail("cannot make the input devices");
  }
  std::string touch_sysfs = root + SANDBOX_INPUT_SYSFS_PREFIX + "0";
  ok = write_file(touch_sysfs + "/name", std::string(SANDBOX_TOUCH_NAME) + "\n");
  ok = ok && write_file(root + SANDBOX_INPUT_SYSFS_PREFIX + "1/name",
                        std::string(SANDBOX_KEY_NAME) + "\n");
  ok = ok && write_file(touch_sysfs + "/cal_mode", "");
  ok = ok && write_file(touch_sysfs + "/cal_coef", "");
  if (!ok) return fail("cannot write the input device names");

  if (!make_framebuffer(root, o.width, o.height, o.bits_per_pixel, o.red_blue_swapped)) {
    return fail("cannot make the framebuffer");
  }
  ok = write_file(root + CONSOLE_PATH, "");
  ok = ok && write_file(root + SANDBOX_KMSG_FILE, "");
  std::string props = "ro.bootmode=alarm\n";
  props += "ro.sf.hwrotation=" + std::to_string(o.rotation) + "\n";
  if (!o.tp_kind.empty()) props += "ro.device.tp=" + o.tp_kind + "\n";
  ok = ok && write_file(root + SANDBOX_PROPERTY_FILE, props);
  if (!ok) return fail("cannot write the device files");
  return true;
}

std::string quote_sql(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}
}  // namespace

void remove_tree(const std::string& root) {
  nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool set_property_in_file(const std::string& path, const std::string& name,
                          const std::string& value) {
  std::string props, out;
  read_text_file(path, &props);
  bool replaced = false;
  size_t start = 0;
  while (start < props.size()) {
    size_t end = props.find('\n', start);
    if (end == std::string::npos) end = props.size();
    std::string line = props.substr(start, end - start);
    if (line.compare(0, name.size() + 1, name + "=") == 0) {
      if (replaced)
        line.clear();
      else
        line = name + "=" + value;
      replaced = true;
    }
    if (!line.empty()) out += line + "\n";
    start = end + 1;
  }
  if (!replaced) out += name + "=" + value + "\n";
  return replace_text_file(path, out);
}

bool use_time_zone(const std::string& tz) {
  if (tz != "UTC" && access(("/usr/share/zoneinfo/" + tz).c_str(), R_OK) != 0) return false;
  setenv("TZ", tz.c_str(), 1);
  tzset();
  return true;
}

int64_t parse_local_time_us(const char* at) {
  struct tm tm = {};
  char extra = 0;
  if (sscanf(at, "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
             &tm.tm_min, &tm.tm_sec, &extra) != 6) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return t < 0 ? -1 : static_cast<int64_t>(t) * 1000000;
}

std::string local_time_text(int64_t epoch_secs) {
  time_t t = static_cast<time_t>(epoch_secs);
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M:%S %Z", &tm);
  return buf;
}

std::string alarm_insert_sql(int id, int hour, int minute, int days, int enabled, int vibrate,
                             const std::string& message, const std::string& alert) {
  char head[160];
  snprintf(head, sizeof head, "INSERT INTO alarms VALUES(%d,%d,%d,%d,0,%d,%d,", id, hour, minute,
           days, enabled, vibrate);
  return head + quote_sql(message) + "," + quote_sql(alert) + ");";
}

bool valid_zone_source(const std::string& zone_from) {
  return zone_from.empty() || zone_from == "property" || zone_from == "store" ||
         zone_from == "none";
}

namespace {
void put_varint(uint64_t v, std::string* out) {
  do {
    uint8_t b = v & 0x7f;
    v >>= 7;
    out->push_back(static_cast<char>(v != 0 ? b | 0x80 : b));
  } while (v != 0);
}
void put_text_field(int number, const std::string& bytes, std::string* out) {
  out->push_back(static_cast<char>(number << 3 | 2));
  put_varint(bytes.size(), out);
  *out += bytes;
}
}  // namespace

std::string persistent_properties_bytes(const std::string& name, const std::string& value) {
  std::string record, out;
  put_text_field(1, name, &record);
  put_text_field(2, value, &record);
  put_text_field(1, record, &out);
  return out;
}

bool place_time_zone(const std::string& root, const std::string& zone_from,
                     const std::string& zone) {
  bool ok = set_property_in_file(root + SANDBOX_PROPERTY_FILE, TIME_ZONE_PROPERTY,
                                 zone_from == "property" ? zone : "");
  unlink((root + PERSISTENT_PROPERTIES_PATH).c_str());
  unlink((root + TIME_ZONE_PROPERTY_FILE).c_str());
  if (zone_from == "store") {
    ok = make_dirs(root + parent_dir(PERSISTENT_PROPERTIES_PATH)) &&
         write_file(root + PERSISTENT_PROPERTIES_PATH,
                    persistent_properties_bytes(TIME_ZONE_PROPERTY, zone)) &&
         ok;
  }
  return ok;
}

const char* clock_app_db_path(const std::string& clock_app) {
  return clock_app == "7" ? ALARM_DB_DE_PATH : ALARM_DB_PATH;
}

std::string template_insert_sql(int id, int hour, int minute, int days, int enabled, int vibrate,
                                int delete_after_use, const std::string& label,
                                const char* ringtone) {
  char head[200];
  snprintf(head, sizeof head, "INSERT INTO alarm_templates VALUES(%d,%d,%d,%d,%d,%d,", id, hour,
           minute, days, enabled, vibrate);
  return head + quote_sql(label) + "," + (ringtone ? quote_sql(ringtone) : "NULL") + "," +
         std::to_string(delete_after_use) + ");";
}

std::string instance_insert_sql(int id, int alarm_id, int year, int month, int day, int hour,
                                int minute, int state, int vibrate, const std::string& label,
                                const char* ringtone) {
  char head[200];
  snprintf(head, sizeof head, "INSERT INTO alarm_instances VALUES(%d,%d,%d,%d,%d,%d,%d,", id, year,
           month, day, hour, minute, vibrate);
  return head + quote_sql(label) + "," + (ringtone ? quote_sql(ringtone) : "NULL") + "," +
         std::to_string(state) + "," + std::to_string(alarm_id) + ");";
}

namespace {

// Digits only, after trimming blanks; false when there are none or anything else.
bool plain_digits(std::string_view s, bool allow_sign, int64_t* value) {
  while (!s.empty() && is_c_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_c_space(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (allow_sign && !s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  constexpr size_t kMaxDigits = 18;
  if (s.empty() || s.size() > kMaxDigits) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = negative ? -v : v;
  return true;
}

}  // namespace

namespace {

// The pair of the note's lines `id_line` and `end_line`; false when it does not read so.
bool parse_snooze_pair(std::string_view id_line, std::string_view end_line, int* alarm_id,
                       int64_t* snooze_end) {
  constexpr size_t kMillisDigits = 3;  // the "000" behind the seconds
  int64_t id = 0, end_ms = 0;
  if (!plain_digits(id_line, true, &id) || !plain_digits(end_line, false, &end_ms)) return false;
  if (end_line.size() <= kMillisDigits || id < std::numeric_limits<int>::min() ||
      id > std::numeric_limits<int>::max()) {
    return false;
  }
  *alarm_id = static_cast<int>(id);
  *snooze_end = end_ms / 1000;
  return true;
}

// The note's non-empty lines, up to its first NUL byte.
std::vector<std::string_view> snooze_note_lines(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string_view> lines;
  for (size_t pos = 0;;) {
    size_t start = text.find_first_not_of('\n', pos);
    if (start == std::string_view::npos) return lines;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    pos = end;
  }
}

}  // namespace

bool parse_snooze_note(std::string_view text, int* alarm_id, int64_t* snooze_end) {
  std::vector<std::string_view> lines = snooze_note_lines(text);
  return lines.size() >= 2 && parse_snooze_pair(lines[0], lines[1], alarm_id, snooze_end);
}

std::vector<SnoozeNotePair> parse_snooze_note_pairs(std::string_view text) {
  std::vector<std::string_view> lines = snooze_note_lines(text);
  std::vector<SnoozeNotePair> pairs;
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    SnoozeNotePair pair;
    if (parse_snooze_pair(lines[i], lines[i + 1], &pair.alarm_id, &pair.end)) pairs.push_back(pair);
  }
  return pairs;
}

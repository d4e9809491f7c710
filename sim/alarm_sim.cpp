// alarm-sim: builds a sandbox of the phone's file tree and runs the real program in it on a
// virtual clock, with scripted touches and keys, screenshots and a timeline.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alarm/alarm_db.h"
#include "alarm/alarm_flag.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_platform.h"
#include "sim/life_picture.h"
#include "sim/life_run.h"
#include "sim/sandbox_builder.h"
#include "sim/schedule_report.h"
#ifdef ALARM_SOUND_TRACK
#include "sim/sound_sink.h"
#endif
#include "sim/sim_run.h"

namespace {

constexpr double kLifeSpeedWithoutJumps = 100;

const char kUsage[] =
    "usage:\n"
    "  alarm-sim init DIR [--screen WxHxBPP[:ORDER]] [--rotation 0|180] [--tp KIND]\n"
    "                     [--clock-app 4.4|7] [--player real|standin]\n"
    "      --clock-app: the clock application's tables of Android 4.4 and later\n"
    "              (alarm_templates, alarm_instances) at the old path (4.4) or in\n"
    "              device-protected storage (7), instead of the alarms table\n"
    "      --player: /system/bin/mplayer is the project's ring player, its sound kept as\n"
    "              DIR/sim/sound-N.wav (the default), or the stand-in that plays nothing\n"
    "              for run's --play seconds\n"
    "  alarm-sim run DIR [--at \"YYYY-MM-DD HH:MM:SS\"] [--tz ZONE] [--speed N] [--until S]\n"
    "                    [--play S] [--boot S] [--rtc-min-lead S] [--user POLICY]\n"
    "                    [--poweroff-returns] [--fault NAME]... [--no-property-service]\n"
    "                    [--rtc-op TEXT] [--rtc alarm_op|wakealarm] [--no-jump]\n"
    "                    [--zone-from property|store|none] [ACTION...]\n"
    "      ACTION: S:tap:left|mid|right  S:touch:X,Y  S:key:power  S:shot:FILE.png\n"
    "              (S: virtual seconds since the program started)\n"
    "      --boot S: the RTC woke the phone S virtual seconds before --at (default 0)\n"
    "      --rtc-min-lead S: an RTC alarm less than S seconds after the power-off does not\n"
    "              wake the phone (outcome.json rtc_wakes; default 10)\n"
    "      --user POLICY: answers each ring: none (default), ignore, stop:S (middle button\n"
    "              S virtual seconds after each ring starts), snooze-then-stop:S (left button\n"
    "              S seconds after the first ring start, middle button after each later\n"
    "              one), power-key:S (the power key S seconds after each ring start)\n"
    "      --fault NAME: a broken phone: poweroff-returns (the power-off fails and returns),\n"
    "              thread-fail:N (the Nth thread the program starts, from 1, cannot be made),\n"
    "              sqlite-hang:read, sqlite-hang:update (that kind of sqlite3 command never\n"
    "              returns), sqlite-hang:read-after:N (a read prints N rows and half a row,\n"
    "              then never returns), sqlite-slow:S (each sqlite3 command takes S more\n"
    "              seconds); the phone's suspend: no-suspend (no suspend to RAM),\n"
    "              no-alarm-timer, suspend-refused[:N] (every suspend, or the first N, is\n"
    "              refused), resume-late:S (it resumes S seconds after its alarm timer),\n"
    "              sound-busy (the ring player finds the sound card busy)\n"
    "      --no-property-service: nothing answers on /dev/socket/property_service\n"
    "      --rtc-op TEXT: the RTC's alarm_op gives TEXT all along instead of its time\n"
    "      --rtc wakealarm: an RTC driver without alarm_op, with only the standard\n"
    "              wakealarm (default alarm_op)\n"
    "      --speed N: virtual time runs N times as fast as real time while anything runs;\n"
    "              while everything waits the clock jumps to the next deadline at once\n"
    "      --no-jump: the clock runs at its speed all along, waits included\n"
    "      --zone-from: the phone keeps the zone of --tz in its property store, in\n"
    "              /data/property's persistent store, or nowhere (the program then uses\n"
    "              UTC); without it the program gets it as TZ\n"
    "  alarm-sim life DIR --from \"YYYY-MM-DD HH:MM:SS\" --days N [--tz ZONE] [--boot S]\n"
    "                    [--rtc-min-lead S] [--user POLICY] [--speed N] [--play S]\n"
    "                    [--program PATH] [--rtc alarm_op|wakealarm] [--no-jump]\n"
    "                    [--zone-from property|store|none]\n"
    "      the phone in DIR, switched off at --from, woken only by its RTC for N days;\n"
    "      --user default stop:10, --speed default 1 (100 with --no-jump); --program:\n"
    "      another build of the sandboxed program, to compare two builds. Writes\n"
    "      DIR/sim/life.json, life.txt, life.png and life-runs.txt (every run's timeline)\n"
    "  alarm-sim demo [OUTDIR]\n"
    "  alarm-sim schedule DIR [--at \"YYYY-MM-DD HH:MM:SS\"] [--tz ZONE] [--boot S]\n"
    "      DIR: a phone's files copied into the sandbox layout\n";

int usage_error(const std::string& why) {
  fprintf(stderr, "alarm-sim: %s\n%s", why.c_str(), kUsage);
  return 2;
}

std::string absolute(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) != nullptr) return buf;
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string artwork_dir() {
  std::string dir = self_dir() + "/../res/images";
  char buf[PATH_MAX];
  if (realpath(dir.c_str(), buf) != nullptr &&
      access((std::string(buf) + "/wvga").c_str(), F_OK) == 0) {
    return buf;
  }
  return "";
}

// The default ring the build made, beside the artwork.
std::string built_ring() {
  std::string ring = self_dir() + "/../res/sounds/default_ring.mp3";
  char buf[PATH_MAX];
  return realpath(ring.c_str(), buf) != nullptr ? buf : "";
}

bool init_sandbox(const std::string& dir, SandboxOptions o, std::string* error,
                  bool standin_player = false) {
  if (!make_dirs(dir)) {
    *error = "cannot make " + dir;
    return false;
  }
  o.artwork_dir = artwork_dir();
  if (o.artwork_dir.empty())
    fprintf(stderr, "alarm-sim: no artwork built; the screen stays empty\n");
  o.player_path = self_dir() + (standin_player ? "/alarm-player-standin" : "/alarm-player");
  if (access(o.player_path.c_str(), X_OK) != 0) o.player_path.clear();
  o.ring_path = built_ring();
  if (o.ring_path.empty()) fprintf(stderr, "alarm-sim: no default ring built; the tone rings\n");
  return build_sandbox(absolute(dir), o, error);
}

// "WxHxBPP[:ORDER]": the size, the depth and, for 32 and 16 bits, the order the display
// keeps the colours in, named as DRM names its formats (xbgr8888 is the program's own R, G, B
// bytes; xrgb8888 has red at bit 16, as most 32-bit framebuffers).
bool parse_screen(const std::string& text, SandboxOptions* o) {
  const size_t colon = text.find(':');
  const std::string size = text.substr(0, colon);
  const std::string order = colon == std::string::npos ? "" : text.substr(colon + 1);
  char x1 = 0, x2 = 0;
  char extra = 0;
  if (sscanf(size.c_str(), "%d%c%d%c%d%c", &o->width, &x1, &o->height, &x2, &o->bits_per_pixel,
             &extra) != 5 ||
      x1 != 'x' || x2 != 'x' || o->width <= 0 || o->height <= 0 || o->width > 4096 ||
      o->height > 4096 ||
      (o->bits_per_pixel != 16 && o->bits_per_pixel != 24 && o->bits_per_pixel != 32)) {
    return false;
  }
  const bool wide = o->bits_per_pixel == 32, narrow = o->bits_per_pixel == 16;
  o->red_blue_swapped = (wide && order == "xrgb8888") || (narrow && order == "bgr565");
  return order.empty() || o->red_blue_swapped || (wide && order == "xbgr8888") ||
         (narrow && order == "rgb565");
}

int cmd_init(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("init needs DIR");
  SandboxOptions o;
  bool standin_player = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--player" && has_value) {
      const std::string& which = args[++i];
      if (which != "real" && which != "standin")
        return usage_error("--player takes real or standin");
      standin_player = which == "standin";
    } else if (a == "--screen" && has_value) {
      if (!parse_screen(args[++i], &o)) {
        return usage_error(
            "--screen takes WxHxBPP[:ORDER], BPP 16, 24 or 32; ORDER xbgr8888 (the default) or "
            "xrgb8888 for 32, rgb565 (the default) or bgr565 for 16");
      }
    } else if (a == "--rotation" && has_value) {
      o.rotation = atoi(args[++i].c_str());
      if (o.rotation != 0 && o.rotation != 180) return usage_error("--rotation takes 0 or 180");
    } else if (a == "--clock-app" && has_value) {
      o.clock_app = args[++i];
      if (o.clock_app != "4.4" && o.clock_app != "7") {
        return usage_error("--clock-app takes 4.4 or 7");
      }
    } else if (a == "--tp" && has_value) {
      o.tp_kind = args[++i];
      for (char c : o.tp_kind) {
        if (c == '\n' || c == '=') return usage_error("--tp takes a plain word");
      }
    } else {
      return usage_error("unknown init option " + a);
    }
  }
  std::string error;
  if (!init_sandbox(args[0], o, &error, standin_player)) {
    fprintf(stderr, "alarm-sim: %s\n", error.c_str());
    return 1;
  }
  printf("sandbox ready in %s\n", absolute(args[0]).c_str());
  return 0;
}

// The status of a command that a signal cut short, as a shell reports one: 128 + signal.
int interrupted_status() {
  int sig = sim_interrupt_signal();
  return sig == 0 ? 0 : 128 + sig;
}

void print_summary(const SimOutcome& o, const std::string& root) {
  if (!o.ran) {
    fprintf(stderr, "alarm-sim: %s\n", o.error.c_str());
    return;
  }
  printf("ran %.1f virtual seconds; ", o.virtual_seconds);
  if (o.interrupted) {
    printf("interrupted\n");
  } else if (o.stopped_at_until) {
    printf("stopped at --until\n");
  } else {
    printf("exit status %d%s\n", o.exit_status, o.powered_off ? ", powered off" : "");
  }
  printf("rings: %zu; ring player runs: %d; RTC alarm: %s\n", o.ring_starts.size(), o.player_runs,
         o.has_rtc_alarm_param ? o.rtc_alarm_param.c_str() : "not programmed");
  if (o.poweroff_at) {
    printf("powered off at %s; the RTC alarm %s\n",
           local_time_text(static_cast<int64_t>(*o.poweroff_at)).c_str(),
           o.rtc_wakes ? "wakes the phone" : "does not wake the phone");
  }
  for (const auto& p : o.properties_set)
    printf("property set: %s=%s\n", p.first.c_str(), p.second.c_str());
  for (const std::string& s : o.screenshots) printf("screenshot: %s\n", s.c_str());
  printf("outcome: %s/sim/outcome.json\ntimeline: %s/sim/timeline.txt\n", root.c_str(),
         root.c_str());
}

// A number of seconds, 0 or more.
bool parse_seconds(const std::string& text, double* out) {
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0) || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

// --rtc: which files the RTC driver offers.
bool parse_rtc_interface(const std::string& text, bool* standard, std::string* error) {
  if (text != "alarm_op" && text != "wakealarm") {
    *error = "--rtc takes alarm_op or wakealarm";
    return false;
  }
  *standard = text == "wakealarm";
  return true;
}

bool parse_run_options(const std::vector<std::string>& args, SimRunOptions* o, std::string* error) {
  o->root = absolute(args[0]);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--at" && has_value) {
      o->at = args[++i];
    } else if (a == "--tz" && has_value) {
      o->tz = args[++i];
    } else if (a == "--zone-from" && has_value) {
      o->zone_from = args[++i];
      if (!valid_zone_source(o->zone_from) || o->zone_from.empty()) {
        *error = "--zone-from takes property, store or none";
        return false;
      }
    } else if ((a == "--speed" || a == "--until" || a == "--play" || a == "--boot" ||
                a == "--rtc-min-lead") &&
               has_value) {
      double v = 0;
      if (!parse_seconds(args[++i], &v)) {
        *error = a + " takes a number";
        return false;
      }
      (a == "--speed"   ? o->speed
       : a == "--until" ? o->until
       : a == "--play"  ? o->play_seconds
       : a == "--boot"  ? o->boot_seconds
                        : o->rtc_min_lead) = v;
    } else if (a == "--user" && has_value) {
      if (!parse_user_policy(args[++i], &o->user, error)) return false;
    } else if (a == "--poweroff-returns") {
      o->poweroff_returns = true;
    } else if (a == "--fault" && has_value) {
      SandboxFaults faults;
      std::string unknown;
      const std::string& name = args[++i];
      if (name.find(',') != std::string::npos || !parse_sandbox_faults(name, &faults, &unknown)) {
        *error = "unknown fault " + name;
        return false;
      }
      o->faults.push_back(name);
    } else if (a == "--no-property-service") {
      o->property_service = false;
    } else if (a == "--no-jump") {
      o->jump = false;
    } else if (a == "--rtc-op" && has_value) {
      o->rtc_op_fixed = true;
      o->rtc_op_text = args[++i];
    } else if (a == "--rtc" && has_value) {
      if (!parse_rtc_interface(args[++i], &o->rtc_standard, error)) return false;
    } else if (!a.empty() && a[0] >= '0' && a[0] <= '9') {
      SimAction action;
      if (!parse_sim_action(a, &action, error)) return false;
      if (action.kind == SimAction::kShot) action.file = absolute(action.file);
      o->actions.push_back(action);
    } else {
      *error = "unknown run option " + a;
      return false;
    }
  }
  return true;
}

int cmd_life(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("life needs DIR");
  LifeOptions o = default_life_options();
  o.root = absolute(args[0]);
  bool speed_given = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--no-jump") {
      o.jump = false;
      continue;
    }
    if (i + 1 >= args.size()) return usage_error("unknown life option " + a);
    const std::string& v = args[++i];
    double secs = 0;
    if (a == "--from") {
      o.from = v;
    } else if (a == "--days") {
      char* end = nullptr;
      long days = strtol(v.c_str(), &end, 10);
      if (*end != '\0' || days <= 0 || days > LIFE_PICTURE_MAX_DAYS)
        return usage_error("--days takes 1 to " + std::to_string(LIFE_PICTURE_MAX_DAYS));
      o.days = static_cast<int>(days);
    } else if (a == "--tz") {
      o.tz = v;
    } else if (a == "--zone-from") {
      if (!valid_zone_source(v) || v.empty()) {
        return usage_error("--zone-from takes property, store or none");
      }
      o.zone_from = v;
    } else if (a == "--user") {
      std::string error;
      if (!parse_user_policy(v, &o.user, &error)) return usage_error(error);
    } else if (a == "--program") {
      o.program = absolute(v);
    } else if (a == "--rtc") {
      std::string error;
      if (!parse_rtc_interface(v, &o.rtc_standard, &error)) return usage_error(error);
    } else if (!parse_seconds(v, &secs)) {
      return usage_error(a + " takes a number");
    } else if (a == "--boot") {
      o.boot_seconds = secs;
    } else if (a == "--rtc-min-lead") {
      o.rtc_min_lead = secs;
    } else if (a == "--speed" && secs > 0) {
      o.speed = secs;
      speed_given = true;
    } else if (a == "--play") {
      o.play_seconds = secs;
    } else {
      return usage_error("unknown life option " + a);
    }
  }
  if (o.from.empty() || o.days == 0) return usage_error("life needs --from and --days");
  // Without jumps a life plays every wait: fast, and slowed around what it is judged by.
  if (!o.jump && !speed_given) o.speed = kLifeSpeedWithoutJumps;
  int64_t started_ns = VirtualClock::monotonic_ns();
  LifeInput input;
  LifeReport report;
  std::string error;
  if (!run_life(o, &input, &report, &error)) {
    fprintf(stderr, "alarm-sim: %s\n", error.c_str());
    return 1;
  }
  double took = static_cast<double>(VirtualClock::monotonic_ns() - started_ns) / 1e9;
  const LifeSummary& sum = report.summary;
  printf(
      "\n%d days, %d boots in %.1f s of real time (speed %g)\n"
      "expected %d: on time %d, late %d, missed %d; unexpected rings %d; lost wakes %d; "
      "audible %.1f s\n",
      o.days, sum.boots, took, o.speed, sum.expected, sum.on_time, sum.late, sum.missed,
      sum.unexpected, sum.lost_wakes, sum.audible_seconds);
  if (input.clock_app) printf("instances left to ring: %d\n", sum.stale_instances);
  if (!input.params.ended_early.empty())
    printf("ended early: %s\n", input.params.ended_early.c_str());
  printf("report: %s/sim/life.txt, life.json, life.png\n", o.root.c_str());
  return interrupted_status();
}

int cmd_run(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("run needs DIR");
  SimRunOptions o;
  std::string error;
  if (!parse_run_options(args, &o, &error)) return usage_error(error);
  SimOutcome out = run_simulation(o);
  print_summary(out, o.root);
  return out.ran ? interrupted_status() : 1;
}

// The whole story on an embedded default: ringing, a snooze, ringing again, stop.
int cmd_demo(const std::vector<std::string>& args) {
  std::string outdir = absolute(args.empty() ? "alarm-demo" : args[0]);
  std::string sandbox = outdir + "/sandbox";
  std::string error;
  if (!make_dirs(outdir) || !init_sandbox(sandbox, SandboxOptions(), &error)) {
    fprintf(stderr, "alarm-sim: %s\n", error.c_str());
    return 1;
  }
  // A Monday-to-Friday 07:00 alarm that vibrates, seen on a Wednesday ten seconds before.
  run_sqlite(sandbox + ALARM_DB_PATH, alarm_insert_sql(1, 7, 0, 31, 1, 1, "Wake up", ""));
  // Ring for one minute before snoozing by itself; snooze for one minute.
  write_file(sandbox + ALARM_FLAG_PATH,
             std::string("alarm_flag 1 1 ") + DEFAULT_RING_PATH + " 1\n");

  SimRunOptions o;
  o.root = sandbox;
  o.at = "2026-12-09 06:59:50";
  o.tz = "UTC";
  o.speed = 1;
  o.until = 150;
  o.play_seconds = 20;
  const char* script[] = {"14:shot:", "16:tap:left", "22:shot:", "86:shot:", "88:tap:mid"};
  const char* names[] = {"1-ringing.png", nullptr, "2-snoozed.png", "3-ringing-again.png", nullptr};
  for (size_t i = 0; i < sizeof script / sizeof *script; ++i) {
    std::string text = script[i];
    if (names[i] != nullptr) text += outdir + "/" + names[i];
    SimAction a;
    if (!parse_sim_action(text, &a, &error)) return usage_error(error);
    o.actions.push_back(a);
  }
  printf(
      "demo: a Monday-to-Friday 07:00 alarm, started on Wednesday 2026-12-09 at 06:59:50,\n"
      "      on a clock that skips every wait: ring, snooze (left button), ring again,\n"
      "      stop (middle button), power-off with the RTC set for Thursday.\n\n");
  SimOutcome out = run_simulation(o);
  if (!out.ran) {
    fprintf(stderr, "alarm-sim: %s\n", out.error.c_str());
    return 1;
  }
  printf("timeline (virtual seconds since the program started):\n%s\n",
         format_timeline(out.timeline).c_str());
  print_summary(out, sandbox);
  printf("pictures in %s\n", outdir.c_str());
#ifdef ALARM_SOUND_TRACK
  // The run's sound on one track, with two seconds of the silence after it.
  std::vector<SinkStream> streams = sink_streams(sandbox + "/sim");
  if (!streams.empty()) {
    SoundTrack track = run_sound_track(sandbox + "/sim", out.start_at,
                                       out.start_at + out.virtual_seconds + 2, streams[0].rate);
    const std::string ring = outdir + "/ring.wav";
    if (write_wav(ring, track)) printf("sound in %s\n", ring.c_str());
  }
#endif
  return 0;
}

int cmd_schedule(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("schedule needs DIR");
  std::string at, tz = "UTC";
  int boot_secs = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--at" && i + 1 < args.size()) {
      at = args[++i];
    } else if (args[i] == "--tz" && i + 1 < args.size()) {
      tz = args[++i];
    } else if (args[i] == "--boot" && i + 1 < args.size()) {
      char* end = nullptr;
      long v = strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || v < 0 || v > 86400) return usage_error("--boot takes seconds");
      boot_secs = static_cast<int>(v);
    } else {
      return usage_error("unknown schedule option " + args[i]);
    }
  }
  std::string error;
  if (!print_schedule_report(absolute(args[0]), at, tz, boot_secs, &error)) {
    fprintf(stderr, "alarm-sim: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("no command");
  std::string cmd = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (cmd == "init") return cmd_init(args);
  if (cmd == "run") return cmd_run(args);
  if (cmd == "demo") return cmd_demo(args);
  if (cmd == "life") return cmd_life(args);
  if (cmd == "schedule") return cmd_schedule(args);
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    printf("%s", kUsage);
    return 0;
  }
  return usage_error("unknown command " + cmd);
}

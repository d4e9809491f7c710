// Hostile files: the program runs as root and reads files that other programs write (the
// clock application's database and files, the configuration, the images). Whatever they
// hold, nothing crashes or hangs, nothing is read or written through a link, no shell
// ever sees their text, and the alarm still rings.
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/screenshot.h"
#include "tests/e2e_support.h"

namespace {

constexpr double kDue = 10.0;
constexpr char kSnoozeNote[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
constexpr char kConfig[] = "/productinfo/alarm_flag";
constexpr char kDefaultRing[] = "/res/sounds/default_ring.mp3";
constexpr size_t kHostileTextSize = 10000;

// Runs the program through alarm-sim; the run itself must work, and the program must
// leave no sanitizer report (a power-off ends it before a report at exit could fail it).

bool rang(const SimResult& r) {
  const TimelineEvent* start = r.first("player-start");
  return start != nullptr && start->at > kDue;
}

// What kind of thing is at `path`: 'f' file, 'l' link, 'p' FIFO, '-' nothing, '?' other.
char kind(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return '-';
  if (S_ISREG(st.st_mode)) return 'f';
  if (S_ISLNK(st.st_mode)) return 'l';
  if (S_ISFIFO(st.st_mode)) return 'p';
  return '?';
}

// Deterministic bytes from a seed.
std::string random_bytes(size_t n, uint32_t seed) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    out += static_cast<char>(seed >> 16);
  }
  return out;
}

// Every byte but NUL (and but the line end when `line_ends` is false).
std::string every_byte(bool line_ends) {
  std::string out;
  for (int b = 1; b < 256; ++b) {
    if (b != '\n' || line_ends) out += static_cast<char>(b);
  }
  return out;
}

// Commands that a shell seeing the text would run, each making a file "pwned-TAG-N" in
// `root`: on lines of their own (a shell runs each line that parses), bare, in double
// quotes and breaking out of single quotes.
std::string shell_commands(const std::string& root, const std::string& tag) {
  std::string p = root + "/pwned-" + tag + "-";
  return "\n$(touch " + p + "1)\n`touch " + p + "2`\ntrue; touch " + p + "3\n'$(touch " + p +
         "4)'\n\"$(touch " + p + "5)\"\n";
}

// kHostileTextSize bytes that try everything at once: `head` first, then column
// separators, quotes and every byte but NUL, over and over.
std::string hostile_text(const std::string& head, bool line_ends) {
  std::string out = head;
  const std::string filler = "|'\"\\" + every_byte(line_ends);
  while (out.size() < kHostileTextSize) out += filler;
  out.resize(kHostileTextSize);
  return out;
}

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Files a shell running hostile text would have made in `dir`.
std::vector<std::string> pwned_files(const std::string& dir) {
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name).compare(0, 5, "pwned") == 0) found.push_back(e->d_name);
    }
    closedir(d);
  }
  return found;
}

double lit_share(const Screenshot& shot, uint32_t from_row, uint32_t to_row) {
  size_t lit = 0, all = 0;
  for (uint32_t y = from_row; y < to_row && y < shot.height; ++y) {
    for (uint32_t x = 0; x < shot.width; ++x) {
      const uint8_t* p = &shot.rgba[(static_cast<size_t>(y) * shot.width + x) * 4];
      lit += (p[0] | p[1] | p[2]) != 0;
      ++all;
    }
  }
  return all == 0 ? -1 : static_cast<double>(lit) / static_cast<double>(all);
}

// --- PNG files that lie ---

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string chunk(const std::string& type, const std::string& data, bool good_crc = true) {
  uint32_t crc = crc32(type + data);
  return be32(static_cast<uint32_t>(data.size())) + type + data + be32(good_crc ? crc : ~crc);
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

// An 8-bit RGBA header of any size.
std::string header(uint32_t width, uint32_t height, bool good_crc = true) {
  return chunk("IHDR", be32(width) + be32(height) + std::string("\x08\x06\x00\x00\x00", 5),
               good_crc);
}

// The start of a deflate stream: far too little data for any picture.
const std::string kScrap("\x78\x9c\x62\x60\x60\x60\xf8\x0f", 8);

}  // namespace

// A symbolic link in the place of the snooze note, to a note of the clock's own alarm: the
// program does not read it (no snooze instant comes from it) and does not write through
// it; the snooze replaces the link with a note of its own, and the alarm goes on.
TEST(HostileFileScenario, SnoozeNoteThatIsALinkIsNeitherFollowedNorWrittenThrough) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(5, kDefaultRing, 5);
  // A note for alarm 1 that ends at 07:00:30, where a follower would find it.
  std::string target_note =
      "1\n" + std::to_string(epoch_utc(2026, 12, 9, 7, 0, 30)) + "000\n" + std::string(480, '\0');
  ASSERT_EQ(mkdir(sb.path("/data/local").c_str(), 0755), 0);
  sb.write("/data/local/note", target_note);
  ASSERT_EQ(symlink(sb.path("/data/local/note").c_str(), sb.path(kSnoozeNote).c_str()), 0);

  SimResult r = sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("15", "left"), "18:key:power"});
  EXPECT_FALSE(contains(r.kmsg, "delay id =")) << "the link's target was read as the note";
  EXPECT_TRUE(sb.read("/data/local/note") == target_note) << "written through the link";
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 2u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");  // snoozed
  EXPECT_TRUE(r.powered_off());
  // Not read unless it is a file: the test must not hang on a FIFO either.
  ASSERT_EQ(kind(sb.path(kSnoozeNote)), 'f');
  std::string note = sb.read(kSnoozeNote);
  EXPECT_EQ(note.size(), 512u);
  EXPECT_EQ(note.substr(0, 2), "1\n");
}

// A FIFO in the place of the snooze note, with no one at its other end: reading it at
// start-up does not wait for a writer, the alarm rings at its second, and the snooze
// replaces the FIFO with a note.
TEST(HostileFileScenario, SnoozeNoteThatIsAFifoHangsNothing) {
  E2eSandbox sb;
  sb.add_alarm(4, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(5, kDefaultRing, 5);
  ASSERT_EQ(mkfifo(sb.path(kSnoozeNote).c_str(), 0644), 0);
  SimResult r = sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("15", "left"), "18:key:power"});
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_LT(r.first("player-start") ? r.first("player-start")->at : 99.0, 14.0);
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  ASSERT_EQ(kind(sb.path(kSnoozeNote)), 'f');  // the test must not hang on the FIFO
  EXPECT_EQ(sb.read(kSnoozeNote).substr(0, 2), "4\n");
}

// Labels and ring-tone texts of 10,000 characters with "|", every byte but NUL and shell
// commands, and a configured ring file whose name is made of shell syntax. The alarms are
// read as the clock set them: the one-shot 07:00 alarm rings and is switched off, the
// player gets the ring file's name as it is, the RTC is set for the 07:30 alarm, the
// texts in the database stay as they were, and no command in them ever runs.
TEST(HostileFileScenario, LongLabelsAndRingTonesFullOfShellTextRunNoShell) {
  E2eSandbox sb;
  // The one-shot alarm's label breaks its row into many lines. The weekday alarm's row is
  // one line, far longer than a row may be; behind its label's "|" is a pair of shell
  // commands, which a reader splitting the row at every "|" would take for the ring tone.
  const std::string tone2 =
      "$(touch " + sb.root() + "/pwned-tone-1)`touch " + sb.root() + "/pwned-tone-2`";
  const std::string texts[4] = {
      hostile_text(shell_commands(sb.root(), "label"), true),
      hostile_text(shell_commands(sb.root(), "tone"), true),
      hostile_text("Work|" + tone2 + "|", false),
      hostile_text("", false),
  };
  auto insert = [&](int id, int hour, int minute, int days, int vibrate, const std::string& label,
                    const std::string& tone) {
    char head[128];
    snprintf(head, sizeof head, "INSERT INTO alarms VALUES(%d,%d,%d,%d,0,1,%d,", id, hour, minute,
             days, vibrate);
    sb.sql(std::string(head) + "CAST(X'" + hex(label) + "' AS TEXT),CAST(X'" + hex(tone) +
           "' AS TEXT));");
  };
  insert(1, 7, 0, 0, 1, texts[0], texts[1]);
  insert(2, 7, 30, kMonToFri, 0, texts[2], texts[3]);
  const std::string stored_query = "SELECT hex(message), hex(alert) FROM alarms ORDER BY _id;";
  std::string stored = sb.sql(stored_query);
  ASSERT_EQ(stored, hex(texts[0]) + "|" + hex(texts[1]) + "\n" + hex(texts[2]) + "|" +
                        hex(texts[3]) + "\n");

  // No blanks: the configuration splits its fields at them. Relative names: a shell would
  // make them in its working directory, the sandbox.
  const std::string ring =
      "/res/sounds/r;touch${IFS}pwned-ring-1;`touch${IFS}pwned-ring-2`$(touch${IFS}pwned-ring-3)"
      ".mp3";
  sb.write(ring, "a ring tone\n");
  sb.write(kConfig, "alarm_flag 1 5 " + ring + " 5\n");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(sb.root().c_str()), 0);
  SimResult r = sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("15", "left"), "18:key:power"});
  ASSERT_EQ(chdir(cwd), 0);

  EXPECT_TRUE(pwned_files(sb.root()).empty()) << "a shell ran " << pwned_files(sb.root())[0];
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  const TimelineEvent* start = r.first("player-start");
  ASSERT_NE(start, nullptr);
  std::string played = " " + sb.path(ring);
  EXPECT_EQ(start->details.compare(start->details.size() - played.size(), played.size(), played), 0)
      << start->details;
  // The texts are read as hex: the label's "|" no longer makes the commands behind it the
  // weekday alarm's ring tone.
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: ala = ")) << r.kmsg.substr(0, 4000);
  EXPECT_FALSE(contains(r.kmsg, "<3>alarm: ala = " + tone2)) << r.kmsg.substr(0, 4000);
  EXPECT_EQ(r.exit_status(), 0);
  EXPECT_TRUE(r.powered_off());
  EXPECT_EQ(sb.read(kSnoozeNote).substr(0, 2), "1\n");
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "1|0\n2|1\n");
  EXPECT_TRUE(sb.sql(stored_query) == stored) << "the alarms' texts were changed";
  // The power key came during the snooze: the RTC wakes the phone for its end, 07:05:05.
  long long rtc = atoll(r.outcome["rtc_alarm_param"].s.c_str());
  EXPECT_LE(std::llabs(rtc - (epoch_utc(2026, 12, 9, 7, 5, 5) - 20)), 1)
      << r.outcome["rtc_alarm_param"].s;
}

// A label with a line end followed by what looks like a row of the table: the tool prints
// the line end as it is, and the reader takes the rest of the label for another alarm (id
// 77 at 07:01 here) that the clock application does not have; the 07:00 alarm's ring is
// then switched to it at 07:01. Disabled until the query keeps line ends out of its rows
// (a fault of the database reader, reported).
TEST(HostileFileScenario, LabelWithALineEndAddsNoAlarm) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0, "Work\n77|7|1|127|0|1|1|forged|forged", "");
  sb.set_flags(5, kDefaultRing, 5);
  SimResult r = sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "80", "--play", "120", "76:key:power"});
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_EQ(r.events("player-start").size(), 1u) << r.timeline_text();
  EXPECT_FALSE(contains(r.kmsg, "<3>alarm: id = 77\n"));
}

// A configuration file of random bytes, of random words, or of numbers too large for any
// period: the alarm still rings at its second with a ring file that exists, does not
// snooze at once (a period that wrapped round would), stops at the middle button, and the
// file is left as it was.
TEST(HostileFileScenario, ConfigurationOfRandomBytesStillRings) {
  std::string words;
  std::string bytes = random_bytes(2000, 11);
  for (unsigned char c : bytes) words += (c % 7 == 0) ? ' ' : static_cast<char>('!' + c % 94);
  const std::string contents[] = {
      random_bytes(4096, 5),
      words,
      "a b 99999999999999999999 /res/sounds/default_ring.mp3 4294967297\n",
  };
  for (const std::string& content : contents) {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    sb.write(kConfig, content);
    SimResult r =
        sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("17", "mid")});
    EXPECT_TRUE(rang(r)) << r.timeline_text();
    const TimelineEvent* start = r.first("player-start");
    ASSERT_NE(start, nullptr);
    EXPECT_TRUE(contains(start->details, " " + sb.path(kDefaultRing))) << start->details;
    for (const TimelineEvent& e : r.events("backlight")) {
      EXPECT_EQ(e.details, "25") << "snoozed at " << e.at;
    }
    EXPECT_EQ(r.exit_status(), 0);
    EXPECT_TRUE(r.powered_off());
    EXPECT_TRUE(sb.read(kConfig) == content) << "the configuration file was changed";
  }
}

// PNG files whose headers lie: a size no screen has, a size that the data does not fill,
// an impossible size, a damaged header and a cut file. Each image is left out (the log
// says which), nothing of them reaches the screen, and the rest of the alarm screen is
// drawn and works.
TEST(HostileFileScenario, PngFilesWithLyingHeadersAreLeftOutOfTheScreen) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  const std::string dir = "/res/images/wvga/";  // the 480 x 800 screen's images
  std::string dot = sb.read(dir + "dot.png");
  ASSERT_GT(dot.size(), 64u);
  struct Lie {
    const char* name;
    std::string content;
  } lies[] = {
      {"icon_alarm", kSignature + header(100000, 100000) + chunk("IDAT", kScrap)},
      {"button_sleep", kSignature + header(4000, 4000) + chunk("IDAT", kScrap)},
      {"button_poweron", kSignature + header(0x7fffffff, 0x7fffffff) + chunk("IDAT", kScrap)},
      {"button_stop", kSignature + header(64, 64, false) + chunk("IDAT", kScrap)},
      {"dot", dot.substr(0, dot.size() / 2)},
  };
  for (const Lie& lie : lies) sb.write(dir + lie.name + ".png", lie.content);

  std::string shot = sb.path("/sim/ringing.png");
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "15:shot:" + shot,
                        touch("17", "mid")});
  for (const Lie& lie : lies) {
    EXPECT_TRUE(contains(r.kmsg, std::string("<3>alarm: creat surfaces failed!  ") + lie.name))
        << lie.name;
  }
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  Screenshot picture;
  ASSERT_TRUE(read_png(shot, &picture)) << r.timeline_text();
  // Without the icon the clock moves up to a third of the screen: above it nothing is drawn.
  EXPECT_EQ(lit_share(picture, 0, picture.height / 3 - 4), 0.0);
  EXPECT_GT(lit_share(picture, 0, picture.height), 0.005);  // the clock and the buttons
  EXPECT_TRUE(r.powered_off()) << "the middle button does not work";
  EXPECT_EQ(r.exit_status(), 0);
}

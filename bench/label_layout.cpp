// Cost of the alarm's label at 1080x1920: laying it out (UTF-8, runs, shaping with the
// fallback fonts, the cut with "…") and drawing its glyphs into its picture, with the
// sandbox's fonts (Debian's Roboto, Noto and Droid fallback). Labels: the labels of the
// label fuzz target's corpus (each input's label part; the worst is named), and 511-byte
// labels of several scripts. "first" opens the fonts as an alarm's first label does;
// "again" has them open. Figures are the best of several rounds: the machine is shared.
//
//   bench_label_layout [CORPUS_DIR...]   (default: the source tree's fuzz/corpus/label)
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sandbox/sandbox_files.h"
#include "screen/label.h"
#include "screen/text_input.h"
#include "sim/sandbox_builder.h"

namespace {

constexpr int kRounds = 15;
constexpr double kGoalMs = 20.0;
constexpr int kWidth = 1080, kHeight = 1920, kBandTop = 923, kBandBottom = 1820;

double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Figures {
  double first_ms = 1e9, again_ms = 1e9;
  bool drawn = false, cut = false;
};

Figures measure(const std::string& label) {
  Figures f;
  TextFonts warm(sandbox_host_fonts());
  LabelPicture p;
  label_layout(warm, label.data(), label.size(), kWidth, kHeight, kBandTop, kBandBottom, &p);
  for (int r = 0; r < kRounds; ++r) {
    double t0 = now_ms();
    {
      TextFonts cold(sandbox_host_fonts());
      label_layout(cold, label.data(), label.size(), kWidth, kHeight, kBandTop, kBandBottom, &p);
    }
    double t1 = now_ms();
    label_layout(warm, label.data(), label.size(), kWidth, kHeight, kBandTop, kBandBottom, &p);
    double t2 = now_ms();
    f.first_ms = std::min(f.first_ms, t1 - t0);
    f.again_ms = std::min(f.again_ms, t2 - t1);
  }
  f.drawn = p.drawn();
  f.cut = p.cut;
  return f;
}

std::string longest(const std::string& piece) {
  std::string s;
  while (s.size() + piece.size() <= TEXT_MAX_BYTES) s += piece;
  return s;
}

// The label part of one input of the label fuzz target.
std::string label_of_input(const std::string& data) {
  if (data.size() < 3) return "";
  size_t n = static_cast<unsigned char>(data[1]) | (static_cast<unsigned char>(data[2]) << 8);
  return data.substr(3, std::min(n, data.size() - 3));
}

void print(const char* name, const Figures& f) {
  printf("  %-34s first %7.2f ms   again %7.2f ms   %s%s\n", name, f.first_ms, f.again_ms,
         f.drawn ? "drawn" : "nothing drawn", f.cut ? ", cut with …" : "");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) dirs.push_back(argv[i]);
  if (dirs.empty()) dirs.push_back(std::string(ALARM_SOURCE_DIR) + "/fuzz/corpus/label");

  printf("label layout and drawing at %dx%d, best of %d rounds (goal <= %.0f ms)\n", kWidth,
         kHeight, kRounds, kGoalMs);
  const struct {
    const char* name;
    std::string text;
  } fixed[] = {
      {"Flight", "Flight"},
      {"511 bytes Latin", longest("Medikamente nehmen ")},
      {"511 bytes Arabic", longest("تمرين الصباح ")},
      {"511 bytes Devanagari", longest("दवा लेना ")},
      {"511 bytes Chinese", longest("服药时间")},
      {"511 bytes of combining marks", longest("\xCC\x81")},
      {"511 bytes of emoji", longest("\xF0\x9F\x98\x80")},
  };
  double worst_all = 0;
  for (const auto& l : fixed) {
    Figures f = measure(l.text);
    print(l.name, f);
    worst_all = std::max(worst_all, f.first_ms);
  }

  std::string worst_name;
  Figures worst;
  int inputs = 0;
  for (const std::string& dir : dirs) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string data;
      if (!read_text_file(dir + "/" + e->d_name, &data)) continue;
      ++inputs;
      Figures f = measure(label_of_input(data));
      if (worst_name.empty() || f.first_ms > worst.first_ms) {
        worst = f;
        worst_name = e->d_name;
      }
    }
    closedir(d);
  }
  if (inputs > 0) {
    std::string name = "corpus worst (" + worst_name + ")";
    printf("fuzz corpus: %d inputs\n", inputs);
    print(name.c_str(), worst);
    worst_all = std::max(worst_all, worst.first_ms);
  }
  printf("worst: %.2f ms, %s the %.0f ms goal\n", worst_all,
         worst_all <= kGoalMs ? "within" : "OVER", kGoalMs);
  return 0;
}

// Cost of presenting a full frame on a DRM/KMS display, on a real kernel: the virtual machine
// of scripts/vm.sh runs it in its guest, and it runs as well on a phone without a framebuffer
// device (as root, with nothing else holding the display). A present is what gr_present does
// on such a display: wait for the flip that took the hidden buffer off the screen, copy the
// back surface into it in the card's pixel order, ask for the flip. Its time is set against a
// plain memcpy of the same bytes into the same buffers.
//
//   bench_drm_present [ROUNDS]
//
// "spaced" presents come one at a time, the display done with the one before (as the refresh
// thread presents a drawing); "back to back" presents follow each other at once, so each
// waits for the flip before it, and show the display's own pace. Figures are the best round's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "screen/display.h"
#include "screen/frame_copy.h"

namespace {

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 30;
  if (rounds <= 0) {
    fprintf(stderr, "usage: bench_drm_present [ROUNDS]\n");
    return 2;
  }
  set_platform(Platform::Default());
  std::unique_ptr<Display> display = open_drm_display();
  if (!display) {
    fprintf(stderr, "bench_drm_present: no DRM/KMS card can show a screen here\n");
    return 1;
  }
  const uint32_t w = display->width(), h = display->height();
  const FrameLayout layout = display->layout();
  const size_t row = static_cast<size_t>(w) * layout.bytes_per_pixel;
  std::vector<uint8_t> back(row * h);
  for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<uint8_t>(i * 7 + (i >> 12));

  auto memcpy_frame = [&] {
    DisplayFrame f = display->frame_to_fill();
    if (f.pitch == row) {
      memcpy(f.data, back.data(), row * h);
    } else {
      for (uint32_t y = 0; y < h; ++y) memcpy(f.data + y * f.pitch, back.data() + y * row, row);
    }
  };
  auto copy_only = [&] {
    DisplayFrame f = display->frame_to_fill();
    copy_frame(f.data, f.pitch, back.data(), w, h, layout, false);
  };
  auto present = [&](bool turned) {
    DisplayFrame f = display->frame_to_fill();
    copy_frame(f.data, f.pitch, back.data(), w, h, layout, turned);
    display->show_filled_frame();
  };
  auto timed = [](auto&& f) {
    const double start = now_s();
    f();
    return now_s() - start;
  };

  // Warm the mappings (the first touch of each page faults), and let the flip end.
  for (int i = 0; i < 4; ++i) present(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  double best_copy = 1e9, best_convert = 1e9, best_present = 1e9, best_turned = 1e9, best_b2b = 1e9;
  for (int r = 0; r < rounds; ++r) {
    // The copies first: no flip is pending after the pause, so they wait for nothing.
    best_copy = std::min(best_copy, timed(memcpy_frame));
    best_convert = std::min(best_convert, timed(copy_only));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    best_present = std::min(best_present, timed([&] { present(false); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    best_turned = std::min(best_turned, timed([&] { present(true); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const int kBackToBack = 4;
    best_b2b = std::min(best_b2b, timed([&] {
                                    for (int i = 0; i < kBackToBack; ++i) present(false);
                                  }) / kBackToBack);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  printf("drm screen %ux%u, %u bytes a pixel, %s\n", w, h, layout.bytes_per_pixel,
         layout.as_drawn ? "the program's own order (copied)" : "converted as copied");
  printf("memcpy of the frame:        %9.1f us\n", best_copy * 1e6);
  printf("copy in the card's order:   %9.1f us  %.2f x memcpy (no flip)\n", best_convert * 1e6,
         best_convert / best_copy);
  printf("present, spaced:            %9.1f us  %.2f x memcpy\n", best_present * 1e6,
         best_present / best_copy);
  printf("present, turned, spaced:    %9.1f us  %.2f x memcpy\n", best_turned * 1e6,
         best_turned / best_copy);
  printf("present, back to back:      %9.1f us  %.2f x memcpy\n", best_b2b * 1e6,
         best_b2b / best_copy);
  printf("target: a spaced present <= 1.20 x memcpy: %s\n",
         best_present <= 1.2 * best_copy ? "met" : "NOT met");
  return 0;
}

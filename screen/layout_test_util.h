// The alarm screen as a person sees it, on each screen size the artwork is made for, written
// out as numbers once: where the tests look for the pictures and where they touch.
#pragma once

struct LayoutRect {
  int x, y, w, h;
  int centre_x() const { return x + w / 2; }
  int centre_y() const { return y + h / 2; }
};

struct ScreenLayout {
  int width, height;
  const char* group;  // the artwork's folder
  LayoutRect icon;
  LayoutRect buttons[3];  // the backgrounds, left to right: snooze, stop, power on
  LayoutRect labels[3];
  int digit_x[4];  // the time's four digits, HH and MM
  int dot_x;
  int time_y;
  int digit_w, digit_h, dot_w;
};

// clang-format off
constexpr ScreenLayout kScreenLayouts[] = {
    {480, 800, "wvga", {140, 200, 200, 200},
     {{15, 700, 140, 100}, {170, 700, 140, 100}, {325, 700, 140, 100}},
     {{23, 728, 124, 44}, {178, 728, 124, 44}, {333, 728, 124, 44}},
     {78, 150, 258, 330}, 222, 430, 72, 120, 36},
    {320, 480, "hvga", {96, 117, 128, 128},
     {{8, 412, 96, 68}, {112, 412, 96, 68}, {216, 412, 96, 68}},
     {{12, 431, 88, 30}, {116, 431, 88, 30}, {220, 431, 88, 30}},
     {52, 100, 172, 220}, 148, 275, 48, 80, 24},
    {240, 320, "qvga", {76, 77, 88, 88},
     {{4, 270, 74, 50}, {82, 270, 74, 50}, {160, 270, 74, 50}},
     {{6, 283, 70, 24}, {84, 283, 70, 24}, {162, 283, 70, 24}},
     {43, 77, 128, 162}, 111, 195, 34, 56, 17},
};
// clang-format on

// The layout of a width x height screen, or null.
inline const ScreenLayout* screen_layout(int width, int height) {
  for (const ScreenLayout& l : kScreenLayouts) {
    if (l.width == width && l.height == height) return &l;
  }
  return nullptr;
}

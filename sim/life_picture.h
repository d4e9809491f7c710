// A life's report as a picture a person reads at a glance: one row per day, 24 hours
// across, the phone's time on, the expected instants by result and the rings.
#pragma once

#include <cstdint>

#include "sim/fb_capture.h"
#include "sim/life_report.h"

// One row per local date of [from, to), 24 hours across at one pixel per minute, a left
// margin with the weekday and date, hour numbers above, a legend and the summary below.
// Each row: faint hour lines (darker every 6 hours), a dark line above each Monday,
// Saturdays and Sundays faintly grey, the phone on (booting, from wake to start, in
// lavender; running, from start to the power-off, light blue; a phone never powered off
// stays on until the next wake). The row's upper half shows the expected instants coloured
// by result, its lower half the rings: a matched ring in its instant's colour, an
// unexpected one magenta; a ring more than a minute late is joined to its instant by a
// thin line; a black bar just right of its minute marks the power-off of a lost wake.
// Missed instants and unexpected rings are drawn wider, and over the others. At most
// LIFE_PICTURE_MAX_DAYS rows.
FbCapture life_picture(const LifeInput& input, const LifeReport& report);

constexpr int LIFE_PICTURE_MAX_DAYS = 1000;

// Colours of the picture (0xRRGGBB), in the legend's order.
constexpr uint32_t LIFE_COLOUR_PHONE_ON = 0xc4dcf5;
constexpr uint32_t LIFE_COLOUR_BOOTING = 0xdcccf0;
constexpr uint32_t LIFE_COLOUR_ON_TIME = 0x1e9e3c;
constexpr uint32_t LIFE_COLOUR_LATE = 0xf08c00;
constexpr uint32_t LIFE_COLOUR_MISSED = 0xe01b1b;
constexpr uint32_t LIFE_COLOUR_UNEXPECTED = 0xb020c8;
constexpr uint32_t LIFE_COLOUR_LOST_WAKE = 0x000000;

// Where an epoch falls in the picture: the pixel column of its local minute and the top
// pixel row of its day's row; false when its day has no row.
bool life_picture_position(const LifeInput& input, int64_t epoch, int* x, int* row_top);
// Rows of a day: the upper half holds the instants, the lower half the rings.
constexpr int LIFE_PICTURE_ROW_HEIGHT = 20;
constexpr int LIFE_PICTURE_HALF_HEIGHT = 9;

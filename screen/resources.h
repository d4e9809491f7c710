// The alarm screen's PNG images: names, groups, the size-class directory, decoding.
#pragma once

#include "screen/graphics.h"

constexpr int IMAGE_SLOT_COUNT = 19;
constexpr int IMAGE_GROUP_SCREEN = 0;
constexpr int IMAGE_GROUP_CLOCK = 6;
constexpr int IMAGE_GROUP_EMPTY = 18;
constexpr int IMAGE_SLOT_DIGIT0 = 6;
constexpr int IMAGE_SLOT_DOT = 16;

extern gr_surface* g_surfaces[IMAGE_SLOT_COUNT];

void alarm_load_images(int group);
void alarm_free_images(int group);
int res_create_surface(const char* name, gr_surface** slot);
void res_release_surface(gr_surface* s);
// The size-class directory ("qvga/", "hvga/" or "wvga/") for a screen.
const char* res_resolution_dir(int width, int height);

// Tests: the version text the decoder is created with (null: the library's own), and how
// many allocations the decoder may make before they fail (-1: no limit).
void res_set_decoder_faults(const char* version, int allocation_budget);

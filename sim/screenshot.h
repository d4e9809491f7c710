// Screenshots of the sandbox display, read back from PNG files (the display is captured by
// sim/fb_capture).
#pragma once

#include <string>

#include "sim/fb_capture.h"

using Screenshot = FbCapture;

// Reads a PNG file as RGBA pixels; false when it cannot.
bool read_png(const std::string& path, Screenshot* shot);

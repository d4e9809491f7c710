// Instants that tests write by hand.
#pragma once

#include <cstdint>

// Epoch seconds of a UTC wall time.
int64_t epoch_utc(int year, int month, int day, int hour, int minute, int second = 0);

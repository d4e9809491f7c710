// The files of a life: the report for machines and for a person, and its picture.
#pragma once

#include <string>

#include "sim/life_report.h"

// Writes DIR/sim/life.json, life.txt and life.png (the report and its picture);
// DIR/sim is made when missing. False with the first failure in `error`.
bool write_life_files(const std::string& dir, const LifeInput& input, const LifeReport& report,
                      std::string* error);

#include "sim/life_files.h"

#include "sandbox/sandbox_files.h"
#include "sim/fb_capture.h"
#include "sim/life_picture.h"
#include "sim/sandbox_builder.h"

bool write_life_files(const std::string& dir, const LifeInput& input, const LifeReport& report,
                      std::string* error) {
  const std::string sim = dir + "/sim";
  if (!make_dirs(sim)) {
    *error = "cannot make " + sim;
    return false;
  }
  if (!replace_text_file(sim + "/life.json", life_json(input, report))) {
    *error = "cannot write " + sim + "/life.json";
    return false;
  }
  if (!replace_text_file(sim + "/life.txt", life_text(input, report))) {
    *error = "cannot write " + sim + "/life.txt";
    return false;
  }
  if (!fb_capture_write_png(life_picture(input, report), sim + "/life.png")) {
    *error = "cannot write " + sim + "/life.png";
    return false;
  }
  return true;
}

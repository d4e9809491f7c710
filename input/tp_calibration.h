// Hands the stored calibration of a resistive touch panel to its driver at start-up.
#pragma once

constexpr char TOUCH_SCREEN_NAME[] = "qild_touch_screen";
constexpr char TP_COEF_PATH[] = "/data/tpcalcoef";
constexpr int TP_SYSFS_PATH_SIZE = 64;
constexpr int TP_COEF_MAX = 60;

int find_touch_screen(char* sysfs_dir);
int set_cal_mode(int mode);
void load_tp_calibration();

#include "input/input_event.h"

#include <gtest/gtest.h>

#include "base/alarm_status.h"
#include "devices/backlight.h"
#include "input/input_devices.h"
#include "input/input_test_support.h"
#include "screen/alarm_screen.h"

namespace {

void set_rect(ButtonRect& r, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  r.x0 = x0;
  r.y0 = y0;
  r.x1 = x1;
  r.y1 = y1;
  r.width = x1 - x0;
  r.height = y1 - y0;
}

void feed(uint16_t type, uint16_t code, int32_t value) {
  struct input_event ev = make_event(type, code, value);
  check_power_key(&ev);
  parse_alarm_event(&ev);
}

void touch(int32_t x, int32_t y) {
  feed(EV_ABS, ABS_X, x);
  feed(EV_ABS, ABS_Y, y);
}

// The three buttons of a 480x800 screen, side by side at the bottom.
class Touch : public ::testing::Test {
 protected:
  void SetUp() override {
    set_rect(g_left_pos, 0, 650, 99, 800);
    set_rect(g_mid_pos, 100, 650, 200, 800);
    set_rect(g_right_pos, 300, 650, 400, 800);
  }
  void TearDown() override {
    for (ButtonRect* r : {&g_left_pos, &g_mid_pos, &g_right_pos}) set_rect(*r, 0, 0, 0, 0);
  }
  // The button code the touch leaves, from a clean start.
  int32_t button_for(int32_t x, int32_t y) {
    g_button_event = BUTTON_NONE;
    touch(x, y);
    return g_button_event;
  }

  TestSandbox sb_;
};

}  // namespace

TEST_F(Touch, MiddleButtonTakesItsLeftEdgeAndWakesTheMainLoop) {
  g_main_wakeup.take();
  testing::internal::CaptureStdout();
  touch(100, 700);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_button_event, BUTTON_STOP);
  EXPECT_EQ(out, "parse_alarm_event get mid button\n");
  EXPECT_TRUE(g_main_wakeup.take());
  EXPECT_EQ(g_touch_x, 0);  // the touch is used up
  EXPECT_EQ(g_touch_y, 0);
}

TEST_F(Touch, RightEdgeBelongsToTheButtonBottomEdgeDoesNot) {
  EXPECT_EQ(button_for(200, 700), BUTTON_STOP);
  EXPECT_EQ(button_for(201, 700), BUTTON_NONE);
  EXPECT_EQ(button_for(150, 650), BUTTON_STOP);
  EXPECT_EQ(button_for(150, 799), BUTTON_STOP);
  EXPECT_EQ(button_for(150, 800), BUTTON_NONE);
  EXPECT_EQ(button_for(150, 649), BUTTON_NONE);
  EXPECT_EQ(button_for(350, 700), BUTTON_POWERON);
  EXPECT_EQ(button_for(50, 700), BUTTON_SLEEP);
  EXPECT_EQ(button_for(-1, 700), BUTTON_NONE);  // signed: a negative X is left of x0 = 0
}

TEST_F(Touch, NothingHitsBeforeTheFirstDrawing) {
  TearDown();  // all rectangles zero, as before the screen is drawn
  g_main_wakeup.take();
  testing::internal::CaptureStdout();
  EXPECT_EQ(button_for(0, 0), BUTTON_NONE);
  EXPECT_EQ(button_for(0, -1), BUTTON_NONE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(g_main_wakeup.take());
}

TEST_F(Touch, TheLatestXBeforeAYIsUsed) {
  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_X, 350);
  feed(EV_ABS, ABS_X, 150);
  feed(EV_ABS, ABS_Y, 700);
  EXPECT_EQ(g_button_event, BUTTON_STOP);

  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_X, 150);
  feed(EV_ABS, ABS_X, 250);  // between the buttons
  feed(EV_ABS, ABS_Y, 700);
  EXPECT_EQ(g_button_event, BUTTON_NONE);
}

TEST_F(Touch, AYWithoutANewXIsTestedAtZero) {
  EXPECT_EQ(button_for(150, 700), BUTTON_STOP);
  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_Y, 710);                 // the finger moved only vertically
  EXPECT_EQ(g_button_event, BUTTON_SLEEP);  // x = 0 lies in the left button only

  set_rect(g_left_pos, 1, 650, 99, 800);
  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_Y, 720);
  EXPECT_EQ(g_button_event, BUTTON_NONE);
}

TEST_F(Touch, MiddleWinsOverBothOthersAndRightOverLeft) {
  set_rect(g_left_pos, 0, 650, 200, 800);
  set_rect(g_mid_pos, 100, 650, 300, 800);
  set_rect(g_right_pos, 150, 650, 400, 800);
  testing::internal::CaptureStdout();
  EXPECT_EQ(button_for(150, 700), BUTTON_STOP);  // inside all three
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "parse_alarm_event get left button\nparse_alarm_event get mid button\n");
  EXPECT_EQ(button_for(250, 700), BUTTON_STOP);  // middle and right

  set_rect(g_mid_pos, 0, 0, 0, 0);
  EXPECT_EQ(button_for(180, 700), BUTTON_POWERON);  // left and right: the later test wins
}

TEST_F(Touch, MultiTouchAxesCountLikeSingleTouchAndCanBeMixed) {
  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_MT_POSITION_X, 350);
  feed(EV_ABS, ABS_MT_POSITION_Y, 700);
  EXPECT_EQ(g_button_event, BUTTON_POWERON);
  g_button_event = BUTTON_NONE;
  feed(EV_ABS, ABS_MT_POSITION_X, 150);
  feed(EV_ABS, ABS_Y, 700);
  EXPECT_EQ(g_button_event, BUTTON_STOP);
}

TEST_F(Touch, OtherTypesAndAxesAreIgnored) {
  g_button_event = BUTTON_NONE;
  g_main_wakeup.take();
  feed(EV_REL, REL_X, 150);  // codes 0 and 1 of another type
  feed(EV_REL, REL_Y, 700);
  feed(EV_KEY, ABS_Y, 700);
  EXPECT_EQ(g_touch_x, 0);
  EXPECT_EQ(g_touch_y, 0);
  feed(EV_ABS, ABS_X, 150);
  for (uint16_t code : {ABS_PRESSURE, ABS_MT_TOUCH_MAJOR, ABS_MT_TRACKING_ID, ABS_MT_SLOT}) {
    feed(EV_ABS, code, 700);
  }
  feed(EV_SYN, SYN_REPORT, 0);
  EXPECT_EQ(g_touch_x, 150);  // still waiting for its Y
  EXPECT_EQ(g_button_event, BUTTON_NONE);
  EXPECT_FALSE(g_main_wakeup.take());
  feed(EV_ABS, ABS_Y, 700);
  EXPECT_EQ(g_button_event, BUTTON_STOP);
}

// Each asks to exit; only the press is counted as one.
TEST(PowerKey, PressReleaseAndRepeatAskToExitNineLitTenDark) {
  TestSandbox sb;
  for (int32_t value : {1, 0, 2}) {
    for (int32_t dark : {0, 1}) {
      g_alarm_status.exit_request = 0;
      g_lcd_off = dark;
      g_main_wakeup.take();
      int32_t presses = g_power_key_presses;
      feed(EV_KEY, KEY_POWER, value);
      EXPECT_EQ(g_alarm_status.exit_request, dark ? 10 : 9) << "value " << value;
      EXPECT_EQ(g_power_key_presses - presses, value == 1 ? 1 : 0) << "value " << value;
      EXPECT_TRUE(g_main_wakeup.take());
      EXPECT_EQ(g_button_event, BUTTON_NONE);
    }
  }
}

TEST(PowerKey, OtherKeysAndEventsDoNothing) {
  TestSandbox sb;
  g_main_wakeup.take();
  feed(EV_KEY, KEY_VOLUMEDOWN, 1);
  feed(EV_KEY, KEY_HOME, 1);
  feed(EV_KEY, BTN_TOUCH, 1);
  feed(EV_SYN, SYN_REPORT, 0);
  feed(EV_REL, KEY_POWER, 1);  // the power key's code under another type
  feed(EV_ABS, KEY_POWER, 1);
  EXPECT_EQ(g_alarm_status.exit_request, 0);
  EXPECT_FALSE(g_main_wakeup.take());
}

namespace {

// Waits (a few seconds at most) for the input thread's wake-up of the main loop.
bool main_loop_woken() {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!g_main_wakeup.take()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

TEST(InputThread, TouchesAndThePowerKeyReachTheMainLoopUntilTheStateIsOff) {
  TestSandbox sb;
  set_rect(g_mid_pos, 100, 650, 200, 800);
  g_alarm_status.state = ALARM_STATE_RINGING;
  std::thread input([] { get_input_event(nullptr); });
  DeviceWriter touch_dev(sb.path(SANDBOX_TOUCH_DEVICE));
  DeviceWriter key_dev(sb.path(SANDBOX_KEY_DEVICE));
  ASSERT_TRUE(touch_dev.is_open() && key_dev.is_open());

  touch_dev.send(EV_ABS, ABS_MT_POSITION_X, 150);
  touch_dev.send(EV_ABS, ABS_MT_POSITION_Y, 700);
  touch_dev.send(EV_SYN, SYN_REPORT, 0);
  ASSERT_TRUE(main_loop_woken());
  EXPECT_EQ(g_button_event, BUTTON_STOP);

  key_dev.send(EV_KEY, KEY_POWER, 1);
  ASSERT_TRUE(main_loop_woken());
  EXPECT_EQ(g_alarm_status.exit_request, 9);

  // The thread looks at the state before each wait: one more event lets it leave.
  g_alarm_status.state = ALARM_STATE_OFF;
  key_dev.send(EV_KEY, KEY_POWER, 0);
  input.join();
  set_rect(g_mid_pos, 0, 0, 0, 0);
}

#include "input/tp_calibration.h"

#include <ftw.h>

#include <map>

#include <gtest/gtest.h>

#include "input/input_test_support.h"

namespace {

constexpr char kInput2[] = "/sys/class/input/input2";

// Devices answer the name request from a table by entry name; the rest as the sandbox does.
class NamedDevices : public PlatformWrapper {
 public:
  explicit NamedDevices(Platform* target) : PlatformWrapper(target) {}
  int input_device_name(int fd, const char* path, char* name, size_t size) override {
    const char* base = strrchr(path, '/');
    auto it = names.find(base ? base + 1 : path);
    if (it == names.end()) return PlatformWrapper::input_device_name(fd, path, name, size);
    snprintf(name, size, "%s", it->second.c_str());
    return static_cast<int>(strlen(name) + 1);
  }
  std::map<std::string, std::string> names;
};

// A sandbox whose only touch screen is event2 (event0 is renamed).
class TpCalibration : public ::testing::Test {
 protected:
  void SetUp() override {
    sb_.write("/sys/class/input/input0/name", "some_keypad\n");
    add_event_device(sb_, "event2", TOUCH_SCREEN_NAME);
  }
  std::string input2(const char* file) const { return sb_.path(kInput2) + file; }
  // Both controls of event2 lead into one FIFO, held open here: what arrives is the
  // sequence of writes, in order.
  int join_controls_into_one_stream() {
    std::string fifo = input2("/stream");
    make_fifo(fifo);
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    symlink("stream", input2("/cal_mode").c_str());
    symlink("stream", input2("/cal_coef").c_str());
    return fd;
  }
  static std::string drain(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
  }

  TestSandbox sb_;
};

// Every file under a directory with its content (links by their target).
std::map<std::string, std::string>* g_tree = nullptr;
int note_entry(const char* path, const struct stat* st, int type, struct FTW*) {
  std::string content;
  if (type == FTW_F && S_ISREG(st->st_mode)) read_text_file(path, &content);
  if (type == FTW_SL) {
    char target[256] = {};
    readlink(path, target, sizeof target - 1);
    content = target;
  }
  (*g_tree)[path] = content + "|" + std::to_string(st->st_mode) + "|" +
                    std::to_string(st->st_mtim.tv_sec) + "." + std::to_string(st->st_mtim.tv_nsec);
  return 0;
}
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  g_tree = &tree;
  nftw(root.c_str(), note_entry, 16, FTW_PHYS);
  g_tree = nullptr;
  return tree;
}

}  // namespace

TEST_F(TpCalibration, TouchScreenAtEvent2GetsModeOneThenCoefficientsThenModeZero) {
  sb_.write(TP_COEF_PATH, "1 -2 300 4 5 -600 7");
  int stream = join_controls_into_one_stream();
  ASSERT_GE(stream, 0);
  load_tp_calibration();
  EXPECT_EQ(drain(stream),
            "1"
            "1 -2 300 4 5 -600 7"
            "0");
}

TEST_F(TpCalibration, ModeAndCoefficientsLandInTheirOwnFilesOfThatDevice) {
  sb_.write(TP_COEF_PATH, "12 34 56");
  load_tp_calibration();
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_mode"), "0");
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_coef"), "12 34 56");
  EXPECT_EQ(sb_.read("/sys/class/input/input0/cal_mode"), "");  // not the touch screen
  EXPECT_EQ(sb_.read("/sys/class/input/input0/cal_coef"), "");
}

TEST_F(TpCalibration, CoefficientsStopAfterSixtyBytesOrAtAZeroByte) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>('a' + i % 26);
  sb_.write(TP_COEF_PATH, hundred);
  load_tp_calibration();
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_coef"), hundred.substr(0, 60));

  std::string with_zero = hundred.substr(0, 40);
  with_zero[20] = '\0';
  sb_.write(TP_COEF_PATH, with_zero);
  load_tp_calibration();
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_coef"), hundred.substr(0, 20));
}

TEST_F(TpCalibration, MissingCoefficientFileStillSwitchesTheModeAndKeepsTheOldCoefficients) {
  std::string fifo = input2("/stream");
  make_fifo(fifo);
  int stream = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  symlink("stream", input2("/cal_mode").c_str());
  write_file(input2("/cal_coef"), "old");
  unlink(sb_.path(TP_COEF_PATH).c_str());
  load_tp_calibration();
  EXPECT_EQ(drain(stream), "10");
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_coef"), "old");
}

TEST_F(TpCalibration, FindReportsTheSysfsDirectoryOfTheExactName) {
  char dir[TP_SYSFS_PATH_SIZE] = "untouched";
  EXPECT_GE(find_touch_screen(dir), 0);
  EXPECT_STREQ(dir, kInput2);
  EXPECT_GE(find_touch_screen(nullptr), 0);

  sb_.write("/sys/class/input/input2/name", "qild_touch_screen_v2\n");
  snprintf(dir, sizeof dir, "untouched");
  EXPECT_EQ(find_touch_screen(dir), -1);
  EXPECT_STREQ(dir, "untouched");
  sb_.write("/sys/class/input/input2/name", "qild_touch\n");
  EXPECT_EQ(find_touch_screen(dir), -1);
}

TEST_F(TpCalibration, EveryEntryIsAskedItsNameAndTheInputNumberFollowsTheFirstT) {
  NamedDevices named(&sb_.platform());
  set_platform(&named);
  sb_.write("/sys/class/input/input2/name", "other\n");
  add_event_device(sb_, "mice");
  add_event_device(sb_, "event12");
  char dir[TP_SYSFS_PATH_SIZE] = {};

  named.names["event12"] = TOUCH_SCREEN_NAME;
  EXPECT_GE(find_touch_screen(dir), 0);
  EXPECT_STREQ(dir, "/sys/class/input/input12");

  // Found, but "mice" has no input number: the buffer is left alone and nothing written.
  named.names["event12"] = "other";
  named.names["mice"] = TOUCH_SCREEN_NAME;
  memset(dir, 0, sizeof dir);
  EXPECT_GE(find_touch_screen(dir), 0);
  EXPECT_STREQ(dir, "");
  EXPECT_EQ(set_cal_mode(1), 1);
  sb_.write(TP_COEF_PATH, "9 9 9");
  std::map<std::string, std::string> before = snapshot(sb_.root());
  load_tp_calibration();
  EXPECT_EQ(snapshot(sb_.root()), before);
  set_platform(&sb_.platform());
}

TEST_F(TpCalibration, SetCalModeWritesOneTwoOrZero) {
  EXPECT_EQ(set_cal_mode(1), 0);
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_mode"), "1");
  EXPECT_EQ(set_cal_mode(2), 0);
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_mode"), "2");
  EXPECT_EQ(set_cal_mode(7), 0);
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_mode"), "0");
  EXPECT_EQ(set_cal_mode(-1), 0);
  EXPECT_EQ(sb_.read("/sys/class/input/input2/cal_mode"), "0");
  // A control that cannot be opened for writing.
  unlink(input2("/cal_mode").c_str());
  ASSERT_EQ(mkdir(input2("/cal_mode").c_str(), 0755), 0);
  EXPECT_EQ(set_cal_mode(1), 1);
}

TEST_F(TpCalibration, NoTouchScreenWritesNothingAnywhere) {
  sb_.write("/sys/class/input/input2/name", "some_keypad\n");
  sb_.write(TP_COEF_PATH, "1 2 3");
  std::map<std::string, std::string> before = snapshot(sb_.root());
  ASSERT_GT(before.size(), 10u);
  char dir[TP_SYSFS_PATH_SIZE] = {};
  EXPECT_EQ(find_touch_screen(dir), -1);
  EXPECT_EQ(set_cal_mode(1), 1);
  load_tp_calibration();
  EXPECT_EQ(snapshot(sb_.root()), before);
  EXPECT_FALSE(sb_.exists("/cal_mode"));
  EXPECT_FALSE(sb_.exists("/cal_coef"));
}

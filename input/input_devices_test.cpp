#include "input/input_devices.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "input/input_test_support.h"

namespace {

std::string device(const TestSandbox& sb, const std::string& entry) {
  return sb.path(("/dev/input/" + entry).c_str());
}

// Descriptors of this process that refer to files under `dir`, each with its fd flags.
std::vector<int> open_fd_flags_under(const std::string& dir) {
  std::vector<int> flags;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return flags;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    int fd = atoi(e->d_name);
    char target[512] = {};
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || std::string(target).compare(0, dir.size(), dir) != 0) continue;
    flags.push_back(fcntl(fd, F_GETFD));
  }
  closedir(d);
  return flags;
}

// CPU time (user + system, clock ticks) that process `pid` has used.
long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');  // the command may hold blanks
  long utime = -1, stime = -1;
  if (paren == std::string::npos ||
      sscanf(text.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
             &utime, &stime) != 2) {
    return -1;
  }
  return utime + stime;
}

}  // namespace

TEST(InputDevices, SeventeenDevicesOpenOnlyTheFirstSixteenInDirectoryOrder) {
  TestSandbox sb;  // event0 and event1
  for (int i = 2; i < 17; ++i) add_event_device(sb, "event" + std::to_string(i));
  std::vector<std::string> order = event_entries_in_directory_order(sb);
  ASSERT_EQ(order.size(), 17u);

  EXPECT_EQ(input_open_devices(), 0);
  EXPECT_EQ(input_device_count(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_TRUE(fifo_has_reader(device(sb, order[i]))) << order[i];
  EXPECT_FALSE(fifo_has_reader(device(sb, order[16]))) << order[16] << " was opened";
}

TEST(InputDevices, UnopenableAndNonEventEntriesTakeNoPlace) {
  TestSandbox sb;
  for (int i = 2; i < 16; ++i) add_event_device(sb, "event" + std::to_string(i));
  // Dangling links cannot be opened (root opens anything with a mode of 000).
  for (int i = 40; i < 45; ++i) {
    std::string entry = "event" + std::to_string(i);
    ASSERT_EQ(symlink("nowhere", device(sb, entry).c_str()), 0);
  }
  for (const char* other : {"mice", "mouse0", "js0", "Event9"}) add_event_device(sb, other);
  std::vector<std::string> order = event_entries_in_directory_order(sb);
  ASSERT_EQ(order.size(), 21u);
  auto is_link = [](const std::string& e) {
    return e.compare(0, 6, "event4") == 0 && e.size() == 7;
  };
  size_t first_link = order.size(), last_device = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (is_link(order[i]) && first_link == order.size()) first_link = i;
    if (!is_link(order[i])) last_device = i;
  }
  ASSERT_LT(first_link, last_device) << "every failing entry comes last: nothing to show";

  input_open_devices();
  EXPECT_EQ(input_device_count(), 16u);
  for (int i = 0; i < 16; ++i) {
    std::string entry = "event" + std::to_string(i);
    EXPECT_TRUE(fifo_has_reader(device(sb, entry))) << entry;
  }
  for (const char* other : {"mice", "mouse0", "js0", "Event9"}) {
    EXPECT_FALSE(fifo_has_reader(device(sb, other))) << other;
  }
}

TEST(InputDevices, NoInputDirectoryLeavesAnEmptySet) {
  TestSandbox sb;
  for (const char* e : {"event0", "event1"}) unlink(device(sb, e).c_str());
  ASSERT_EQ(rmdir(sb.path("/dev/input").c_str()), 0);
  EXPECT_EQ(input_open_devices(), 0);
  EXPECT_EQ(input_device_count(), 0u);
  struct input_event ev;
  EXPECT_EQ(input_wait_event(&ev, 1), -1);
}

TEST(InputDevices, DescriptorsAreCloseOnExecAndReopeningDoesNotLeak) {
  TestSandbox sb;
  std::string dir = sb.path("/dev/input");
  input_open_devices();
  std::vector<int> flags = open_fd_flags_under(dir);
  ASSERT_EQ(flags.size(), 2u);
  for (int f : flags) EXPECT_TRUE(f & FD_CLOEXEC);
  input_open_devices();
  EXPECT_EQ(open_fd_flags_under(dir).size(), 2u);
  input_devices_reset();
  EXPECT_EQ(open_fd_flags_under(dir).size(), 0u);
}

TEST(InputDevices, PendingEventsComeOneAtATimeInOpeningOrder) {
  TestSandbox sb;
  std::vector<std::string> order = event_entries_in_directory_order(sb);
  ASSERT_EQ(order.size(), 2u);
  input_open_devices();
  DeviceWriter first(device(sb, order[0]));
  DeviceWriter second(device(sb, order[1]));
  ASSERT_TRUE(first.is_open() && second.is_open());

  struct input_event ev;
  EXPECT_EQ(input_wait_event(&ev, 1), -1);  // nothing pending: at once

  // The later device's events are written first; the earlier device still wins.
  ASSERT_TRUE(second.send(EV_KEY, KEY_VOLUMEUP, 1));
  ASSERT_TRUE(second.send(EV_KEY, KEY_VOLUMEUP, 0));
  ASSERT_TRUE(first.send(EV_ABS, ABS_X, 123));

  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.type, EV_ABS);
  EXPECT_EQ(ev.value, 123);
  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.code, KEY_VOLUMEUP);
  EXPECT_EQ(ev.value, 1);
  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.code, KEY_VOLUMEUP);
  EXPECT_EQ(ev.value, 0);
  EXPECT_EQ(input_wait_event(&ev, 1), -1);
}

TEST(InputDevices, AShortReadPassesToTheNextReadyDevice) {
  TestSandbox sb;
  std::vector<std::string> order = event_entries_in_directory_order(sb);
  input_open_devices();
  DeviceWriter first(device(sb, order[0]));
  DeviceWriter second(device(sb, order[1]));
  // Ten bytes are no record: a reader of a 16-byte layout would take them as one.
  struct input_event partial = make_event(EV_ABS, ABS_Y, 5);
  ASSERT_TRUE(first.send_bytes(&partial, 10));
  ASSERT_TRUE(second.send(EV_KEY, KEY_POWER, 1));

  struct input_event ev;
  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.type, EV_KEY);
  EXPECT_EQ(ev.code, KEY_POWER);
  EXPECT_EQ(input_wait_event(&ev, 1), -1);
  EXPECT_EQ(input_device_count(), 2u);  // a short read is no reason to give a device up
}

TEST(InputDevices, AHungUpDeviceIsDroppedAfterItsLastEvent) {
  TestSandbox sb;
  std::vector<std::string> order = event_entries_in_directory_order(sb);
  input_open_devices();
  DeviceWriter first(device(sb, order[0]));
  DeviceWriter second(device(sb, order[1]));
  ASSERT_TRUE(first.send(EV_ABS, ABS_X, 7));
  first.hang_up();

  struct input_event ev;
  ASSERT_EQ(input_wait_event(&ev, 0), 0);  // what came before the hang-up still arrives
  EXPECT_EQ(ev.value, 7);
  ASSERT_TRUE(second.send(EV_KEY, KEY_POWER, 0));
  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.code, KEY_POWER);
  EXPECT_EQ(input_device_count(), 1u);
  EXPECT_FALSE(fifo_has_reader(device(sb, order[0])));  // dropped and closed
  EXPECT_TRUE(fifo_has_reader(device(sb, order[1])));

  ASSERT_TRUE(second.send(EV_KEY, KEY_POWER, 1));
  ASSERT_EQ(input_wait_event(&ev, 0), 0);
  EXPECT_EQ(ev.value, 1);
}

TEST(InputDevices, AnEntryThatCanNeverDeliverIsDropped) {
  TestSandbox sb;
  // A directory and a plain file: both open and always poll ready, yet give no records.
  ASSERT_EQ(mkdir(device(sb, "event5").c_str(), 0755), 0);
  write_file(device(sb, "event6"), "short");
  input_open_devices();
  ASSERT_EQ(input_device_count(), 4u);
  struct input_event ev;
  EXPECT_EQ(input_wait_event(&ev, 1), -1);
  EXPECT_EQ(input_wait_event(&ev, 1), -1);
  EXPECT_EQ(input_device_count(), 2u);
}

TEST(InputDevices, WaitingWithOnlyAHungUpDeviceBlocksWithoutSpinning) {
  TestSandbox sb;
  unlink(device(sb, "event1").c_str());
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    input_open_devices();
    struct input_event ev;
    input_wait_event(&ev, 0);
    _exit(0);  // only an event could end the wait, and none comes
  }
  {
    DeviceWriter writer(device(sb, "event0"));  // comes and goes: the FIFO hangs up
    ASSERT_TRUE(writer.is_open());
  }
  long before = cpu_ticks(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long after = cpu_ticks(child);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the wait returned";
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  ASSERT_GE(before, 0);
  // A spinning wait burns the whole 300 ms (about 30 ticks); a blocked one next to none.
  EXPECT_LT(after - before, 10);
}

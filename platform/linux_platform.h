// The platform of the phone: real devices, the real clock, bionic's property store.
#pragma once

#include "platform/platform.h"

class LinuxPlatform : public Platform {
 public:
  std::string device_path(const char* phone_path) const override;
  int fb_get_fixed_info(int fd, fb_fix_screeninfo* info) override;
  int fb_get_variable_info(int fd, fb_var_screeninfo* info) override;
  int fb_put_variable_info(int fd, const fb_var_screeninfo* info) override;
  int console_set_mode(int fd, int kd_mode) override;
  int input_device_name(int fd, const char* device_path, char* name, size_t size) override;
  int make_kmsg_node(const char* path) override;
  int property_read(const char* name, char* value) override;
  void sync_filesystems() override;
  int power_off() override;
  int wall_time(WallTime* now) override;
  int local_time(time_t t, struct tm* out) override;
  void sleep_us(int64_t usec) override;
  bool wait_event(WakeEvent& event, const WallTime& deadline) override;
  int create_thread(void* (*entry)(void*)) override;
  pid_t fork_process() override;
};

// Shared by both platforms: a detached thread with default attributes.
int start_detached_thread(void* (*entry)(void*));
// Sleeps for `usec` of real time, resuming after signals.
void sleep_real_us(int64_t usec);

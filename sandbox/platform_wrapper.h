// A platform that passes every call to another one; tests derive from it to inject faults
// (a thread or fork that fails, a power-off that returns), as LevelDB's EnvWrapper does.
#pragma once

#include "platform/platform.h"

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform* target) : target_(target) {}
  Platform* target() const { return target_; }

  std::string device_path(const char* p) const override { return target_->device_path(p); }
  int fb_get_fixed_info(int fd, fb_fix_screeninfo* i) override {
    return target_->fb_get_fixed_info(fd, i);
  }
  int fb_get_variable_info(int fd, fb_var_screeninfo* i) override {
    return target_->fb_get_variable_info(fd, i);
  }
  int fb_put_variable_info(int fd, const fb_var_screeninfo* i) override {
    return target_->fb_put_variable_info(fd, i);
  }
  int console_set_mode(int fd, int m) override { return target_->console_set_mode(fd, m); }
  int input_device_name(int fd, const char* p, char* n, size_t s) override {
    return target_->input_device_name(fd, p, n, s);
  }
  int make_kmsg_node(const char* p) override { return target_->make_kmsg_node(p); }
  int property_read(const char* n, char* v) override { return target_->property_read(n, v); }
  void sync_filesystems() override { target_->sync_filesystems(); }
  int power_off() override { return target_->power_off(); }
  int wall_time(WallTime* now) override { return target_->wall_time(now); }
  int local_time(time_t t, struct tm* out) override { return target_->local_time(t, out); }
  void set_time_zone(const char* zone) override { target_->set_time_zone(zone); }
  int64_t seconds_since_boot() override { return target_->seconds_since_boot(); }
  void sleep_us(int64_t us) override { target_->sleep_us(us); }
  bool wait_event(WakeEvent& e, const WallTime& d) override { return target_->wait_event(e, d); }
  int suspend_until(const WallTime& until, WakeEvent& wake) override {
    return target_->suspend_until(until, wake);
  }
  int wait_readable(int fd, const WallTime& d) override { return target_->wait_readable(fd, d); }
  int poll_input(struct pollfd* fds, unsigned count, bool wait) override {
    return target_->poll_input(fds, count, wait);
  }
  int wait_signal(const sigset_t& set) override { return target_->wait_signal(set); }
  int create_thread(void* (*entry)(void*)) override { return target_->create_thread(entry); }
  pid_t fork_process() override { return target_->fork_process(); }
  std::unique_ptr<SoundStream> open_sound(const SoundRequest& r) override {
    return target_->open_sound(r);
  }
  int set_mixer_control(int card, const char* name, const char* value) override {
    return target_->set_mixer_control(card, name, value);
  }

 private:
  Platform* target_;
};

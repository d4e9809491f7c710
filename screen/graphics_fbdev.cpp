// The framebuffer display: the device memory mapped as two screens (one where it holds no
// more), each picture copied into the hidden one and shown by moving the visible offset.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "screen/display.h"
#include "screen/graphics.h"

namespace {

constexpr uint32_t kMaxScreenSide = 8192;

class FbdevDisplay : public Display {
 public:
  // Takes the open device, its description and its mapping.
  FbdevDisplay(int fd, const fb_var_screeninfo& info, const FrameLayout& layout, uint8_t* map,
               size_t map_len, size_t line_bytes, unsigned buffer_count)
      : fb_fd_(fd),
        screen_info_(info),
        layout_(layout),
        map_(map),
        map_len_(map_len),
        line_bytes_(line_bytes),
        buffer_count_(buffer_count) {
    fprintf(stderr, "framebuffer: fd %d (%d x %d)\n", fb_fd_, screen_info_.xres, screen_info_.yres);
    gr_set_visible_buffer(0);
  }

  ~FbdevDisplay() override {
    munmap(map_, map_len_);
    close(fb_fd_);
  }

  uint32_t width() const override { return screen_info_.xres; }
  uint32_t height() const override { return screen_info_.yres; }
  FrameLayout layout() const override { return layout_; }

  DisplayFrame frame_to_fill() override {
    if (buffer_count_ == 2) active_buffer_ = (active_buffer_ + 1) & 1;
    return DisplayFrame{map_ + active_buffer_ * line_bytes_ * screen_info_.yres, line_bytes_};
  }

  // With one buffer the display always shows it.
  void show_filled_frame() override {
    if (buffer_count_ == 2) gr_set_visible_buffer(active_buffer_);
  }

 private:
  // Shows buffer n.
  void gr_set_visible_buffer(unsigned n) {
    if (n > 1 || n >= buffer_count_) return;
    fb_var_screeninfo& vi = screen_info_;
    if (buffer_count_ == 2) {
      vi.yres_virtual = vi.yres * 2;
    } else if (vi.yres_virtual < vi.yres) {
      vi.yres_virtual = vi.yres;
    }
    vi.yoffset = n * vi.yres;
    if (platform().fb_put_variable_info(fb_fd_, &vi) != 0) perror("active fb swap failed");
  }

  int fb_fd_;
  fb_var_screeninfo screen_info_;
  FrameLayout layout_;
  uint8_t* map_;
  size_t map_len_;
  size_t line_bytes_;  // the device's line length
  unsigned buffer_count_;
  unsigned active_buffer_ = 0;
};

int fail_open(int fd, const char* report) {
  perror(report);
  close(fd);
  return -1;
}

ColourField field(const fb_bitfield& f) {
  return ColourField{f.offset, f.length};
}

}  // namespace

// Opens and maps the device. Rows are laid at the device's line length, pixels in the order
// the device describes, and a memory that cannot hold two buffers is driven with one, so no
// write ever leaves the mapping.
std::unique_ptr<Display> open_fbdev_display() {
  std::string path = device_path(FB_DEVICE_PATH);
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("cannot open fb0");
    return nullptr;
  }
  fb_fix_screeninfo fix = {};
  fb_var_screeninfo vi = {};
  if (platform().fb_get_fixed_info(fd, &fix) != 0 ||
      platform().fb_get_variable_info(fd, &vi) != 0) {
    fail_open(fd, "failed to get fb0 info");
    return nullptr;
  }
  if (vi.xres == 0 || vi.yres == 0 || vi.xres > kMaxScreenSide || vi.yres > kMaxScreenSide) {
    errno = EINVAL;
    fail_open(fd, "failed to get fb0 info");
    return nullptr;
  }
  const FrameLayout layout =
      frame_layout_for(vi.bits_per_pixel, field(vi.red), field(vi.green), field(vi.blue));
  const size_t row = vi.xres * layout.bytes_per_pixel;
  const size_t pitch = fix.line_length >= row ? fix.line_length : row;
  size_t memory = fix.smem_len;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) < memory) {
    memory = static_cast<size_t>(st.st_size);  // a device file shorter than it claims
  }
  // 64-bit arithmetic: a damaged line length must not wrap on a 32-bit phone.
  const uint64_t buffer_bytes = static_cast<uint64_t>(pitch) * vi.yres;
  if (buffer_bytes > memory) {
    errno = ENOMEM;
    fail_open(fd, "framebuffer memory holds no whole screen");
    return nullptr;
  }
  void* map = mmap(nullptr, memory, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    fail_open(fd, "failed to mmap framebuffer");
    return nullptr;
  }
  const unsigned buffers = 2 * buffer_bytes <= memory ? 2 : 1;  // both fit: no wrap below
  return std::make_unique<FbdevDisplay>(fd, vi, layout, static_cast<uint8_t*>(map), memory, pitch,
                                        buffers);
}

// The DRM/KMS display, for a phone whose kernel has no framebuffer layer: two dumb buffers of
// the card's own, the mode set once, each picture shown by a page flip (or, on a driver
// without page flips, by setting the CRTC again).
#include "screen/graphics_drm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/kernel_log.h"
#include "platform/platform.h"
#include "screen/display.h"

namespace {

constexpr char kCardPathPrefix[] = "/dev/dri/card";
constexpr int kMaxCards = 16;
// The longest wait for a page flip's event: a lost event must not stop the refresh thread.
constexpr int kFlipWaitMs = 200;
constexpr uint32_t kMaxScreenSide = 8192;
// The value of a plane's "type" property for a primary plane.
constexpr uint64_t kPrimaryPlaneType = 1;

bool is_builtin_panel(uint32_t type) {
  return type == DRM_MODE_CONNECTOR_LVDS || type == DRM_MODE_CONNECTOR_eDP ||
         type == DRM_MODE_CONNECTOR_DSI;
}

const char* connector_type_name(uint32_t type) {
  static const char* const kNames[] = {
      "Unknown", "VGA",       "DVI-I", "DVI-D", "DVI-A",     "Composite", "SVIDEO",
      "LVDS",    "Component", "DIN",   "DP",    "HDMI-A",    "HDMI-B",    "TV",
      "eDP",     "Virtual",   "DSI",   "DPI",   "Writeback", "SPI",       "USB"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "Unknown";
}

const char* format_name(uint32_t format) {
  switch (format) {
    case DRM_FORMAT_XRGB8888:
      return "XRGB8888";
    case DRM_FORMAT_XBGR8888:
      return "XBGR8888";
    case DRM_FORMAT_RGB565:
      return "RGB565";
    default:
      return "?";
  }
}

bool offers(const std::vector<uint32_t>& formats, uint32_t format) {
  for (uint32_t f : formats) {
    if (f == format) return true;
  }
  return false;
}

}  // namespace

int choose_drm_connector(const std::vector<DrmConnectorDesc>& connectors) {
  int first = -1;
  for (size_t i = 0; i < connectors.size(); ++i) {
    const DrmConnectorDesc& c = connectors[i];
    if (!c.connected || c.modes.empty()) continue;
    if (is_builtin_panel(c.type)) return static_cast<int>(i);
    if (first < 0) first = static_cast<int>(i);
  }
  return first;
}

int choose_drm_mode(const std::vector<DrmModeDesc>& modes) {
  for (size_t i = 0; i < modes.size(); ++i) {
    if (modes[i].preferred) return static_cast<int>(i);
  }
  return modes.empty() ? -1 : 0;
}

int choose_drm_crtc(const DrmConnectorDesc& connector, const std::vector<DrmEncoderDesc>& encoders,
                    const std::vector<uint32_t>& crtc_ids) {
  auto find_encoder = [&](uint32_t id) -> const DrmEncoderDesc* {
    for (const DrmEncoderDesc& e : encoders) {
      if (e.id == id && id != 0) return &e;
    }
    return nullptr;
  };
  if (const DrmEncoderDesc* current = find_encoder(connector.encoder_id)) {
    for (size_t i = 0; i < crtc_ids.size(); ++i) {
      if (current->crtc_id != 0 && crtc_ids[i] == current->crtc_id) return static_cast<int>(i);
    }
  }
  for (uint32_t id : connector.encoder_ids) {
    const DrmEncoderDesc* e = find_encoder(id);
    if (e == nullptr) continue;
    for (size_t i = 0; i < crtc_ids.size() && i < 32; ++i) {
      if (e->possible_crtcs & (1u << i)) return static_cast<int>(i);
    }
  }
  return -1;
}

uint32_t choose_drm_format(uint64_t preferred_depth, const std::vector<DrmPlaneDesc>& planes,
                           int crtc_index) {
  const DrmPlaneDesc* primary = nullptr;
  for (const DrmPlaneDesc& p : planes) {
    if (p.primary && crtc_index >= 0 && crtc_index < 32 &&
        (p.possible_crtcs & (1u << crtc_index)) != 0) {
      primary = &p;
      break;
    }
  }
  if (primary == nullptr) return preferred_depth == 16 ? DRM_FORMAT_RGB565 : DRM_FORMAT_XRGB8888;
  const std::vector<uint32_t>& f = primary->formats;
  if (preferred_depth == 16 && offers(f, DRM_FORMAT_RGB565)) return DRM_FORMAT_RGB565;
  for (uint32_t format : {DRM_FORMAT_XRGB8888, DRM_FORMAT_XBGR8888, DRM_FORMAT_RGB565}) {
    if (offers(f, format)) return format;
  }
  return 0;
}

uint32_t drm_format_bits_per_pixel(uint32_t format) {
  switch (format) {
    case DRM_FORMAT_XRGB8888:
    case DRM_FORMAT_XBGR8888:
      return 32;
    case DRM_FORMAT_RGB565:
      return 16;
    default:
      return 0;
  }
}

FrameLayout drm_format_layout(uint32_t format) {
  switch (format) {
    case DRM_FORMAT_XRGB8888:
      return frame_layout_for(32, {16, 8}, {8, 8}, {0, 8});
    case DRM_FORMAT_XBGR8888:
      return frame_layout_for(32, {0, 8}, {8, 8}, {16, 8});
    default:
      return frame_layout_for(16, {11, 5}, {5, 6}, {0, 5});
  }
}

namespace {

// Owners of libdrm's records.
template <typename T, void (*Free)(T*)>
struct DrmFree {
  void operator()(T* p) const { Free(p); }
};
using ResourcesPtr = std::unique_ptr<drmModeRes, DrmFree<drmModeRes, drmModeFreeResources>>;
using ConnectorPtr =
    std::unique_ptr<drmModeConnector, DrmFree<drmModeConnector, drmModeFreeConnector>>;
using EncoderPtr = std::unique_ptr<drmModeEncoder, DrmFree<drmModeEncoder, drmModeFreeEncoder>>;
using PlaneResourcesPtr =
    std::unique_ptr<drmModePlaneRes, DrmFree<drmModePlaneRes, drmModeFreePlaneResources>>;
using PlanePtr = std::unique_ptr<drmModePlane, DrmFree<drmModePlane, drmModeFreePlane>>;
using PropertiesPtr =
    std::unique_ptr<drmModeObjectProperties,
                    DrmFree<drmModeObjectProperties, drmModeFreeObjectProperties>>;
using PropertyPtr =
    std::unique_ptr<drmModePropertyRes, DrmFree<drmModePropertyRes, drmModeFreeProperty>>;

// The buffer's mapping offset may lie past 4 GB (a 64-bit kernel under a 32-bit program).
void* map_buffer(int fd, size_t length, uint64_t offset) {
#if defined(__ANDROID__) || defined(__GLIBC__)
  return mmap64(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                static_cast<off64_t>(offset));
#else
  return mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
#endif
}

uint32_t mode_refresh(const drmModeModeInfo& m) {
  if (m.vrefresh != 0) return m.vrefresh;
  const uint64_t dots = static_cast<uint64_t>(m.htotal) * m.vtotal;
  return dots == 0 ? 0 : static_cast<uint32_t>((m.clock * 1000ull + dots / 2) / dots);
}

// The plane's "type" property, or ~0 when it has none.
uint64_t plane_type(int fd, uint32_t plane_id) {
  PropertiesPtr props(drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE));
  if (!props) return ~0ull;
  for (uint32_t i = 0; i < props->count_props; ++i) {
    PropertyPtr prop(drmModeGetProperty(fd, props->props[i]));
    if (prop && strcmp(prop->name, "type") == 0) return props->prop_values[i];
  }
  return ~0ull;
}

std::vector<DrmPlaneDesc> describe_planes(int fd) {
  std::vector<DrmPlaneDesc> planes;
  PlaneResourcesPtr res(drmModeGetPlaneResources(fd));
  if (!res) return planes;
  for (uint32_t i = 0; i < res->count_planes; ++i) {
    PlanePtr plane(drmModeGetPlane(fd, res->planes[i]));
    if (!plane) continue;
    DrmPlaneDesc d;
    d.primary = plane_type(fd, plane->plane_id) == kPrimaryPlaneType;
    d.possible_crtcs = plane->possible_crtcs;
    d.formats.assign(plane->formats, plane->formats + plane->count_formats);
    planes.push_back(std::move(d));
  }
  return planes;
}

DrmConnectorDesc describe(const drmModeConnector& c) {
  DrmConnectorDesc d;
  d.type = c.connector_type;
  d.connected = c.connection == DRM_MODE_CONNECTED;
  d.encoder_id = c.encoder_id;
  for (int i = 0; i < c.count_encoders; ++i) d.encoder_ids.push_back(c.encoders[i]);
  for (int i = 0; i < c.count_modes; ++i) {
    const drmModeModeInfo& m = c.modes[i];
    DrmModeDesc md;
    md.width = m.hdisplay;
    md.height = m.vdisplay;
    md.refresh = mode_refresh(m);
    md.preferred = (m.type & DRM_MODE_TYPE_PREFERRED) != 0;
    d.modes.push_back(md);
  }
  return d;
}

// The page-flip event handler tells which flip ended (drmHandleEvent calls it on the thread
// that waits).
thread_local uintptr_t t_flip_done = 0;

void on_page_flip(int, unsigned, unsigned, unsigned, void* user_data) {
  t_flip_done = reinterpret_cast<uintptr_t>(user_data);
}

struct DumbBuffer {
  uint32_t handle = 0;
  uint32_t pitch = 0;
  uint64_t size = 0;
  uint8_t* map = nullptr;
  uint32_t fb_id = 0;
};

class DrmDisplay : public Display {
 public:
  DrmDisplay(int fd, std::string phone_path) : fd_(fd), path_(std::move(phone_path)) {}

  // Blanks the screen, then releases whatever open_card took.
  ~DrmDisplay() override {
    if (mode_set_) {
      wait_for_flip();
      drmModeSetCrtc(fd_, crtc_id_, 0, 0, 0, nullptr, 0, nullptr);
    }
    for (DumbBuffer& b : buffers_) release(b);
    close(fd_);
  }

  // Chooses the screen and sets its mode; false (the reason logged) when the card cannot
  // show one.
  bool open_card();

  uint32_t width() const override { return mode_.hdisplay; }
  uint32_t height() const override { return mode_.vdisplay; }
  FrameLayout layout() const override { return layout_; }

  // The buffer not on show, once the flip that took it off the screen has ended.
  DisplayFrame frame_to_fill() override {
    wait_for_flip();
    active_ = (active_ + 1) & 1;
    return DisplayFrame{buffers_[active_].map, buffers_[active_].pitch};
  }

  void show_filled_frame() override {
    const uint32_t fb = buffers_[active_].fb_id;
    if (can_flip_) {
      const uintptr_t seq = ++flip_seq_;
      if (drmModePageFlip(fd_, crtc_id_, fb, DRM_MODE_PAGE_FLIP_EVENT,
                          reinterpret_cast<void*>(seq)) == 0) {
        flip_pending_ = true;
        return;
      }
      if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        can_flip_ = false;
        kernel_log_write(6, "<6>alarm: display %s: no page flips, the mode is set for each frame\n",
                         path_.c_str());
      }
    }
    if (drmModeSetCrtc(fd_, crtc_id_, fb, 0, 0, &connector_id_, 1, &mode_) != 0 &&
        !show_failure_logged_) {
      show_failure_logged_ = true;
      log_failure("showing a frame");
    }
  }

 private:
  bool fail(const char* what) {
    kernel_log_write(3, "<3>alarm: display %s: %s\n", path_.c_str(), what);
    return false;
  }

  bool log_failure(const char* what) {
    kernel_log_write(3, "<3>alarm: display %s: %s failed: %s\n", path_.c_str(), what,
                     strerror(errno));
    return false;
  }

  bool create_buffer(DumbBuffer& b, uint32_t format);
  void release(DumbBuffer& b);
  void wait_for_flip();

  int fd_;
  std::string path_;  // the phone's path, for the log
  uint32_t crtc_id_ = 0;
  uint32_t connector_id_ = 0;
  drmModeModeInfo mode_ = {};
  FrameLayout layout_;
  DumbBuffer buffers_[2];
  unsigned active_ = 0;
  bool mode_set_ = false;
  bool can_flip_ = true;
  bool flip_pending_ = false;
  uintptr_t flip_seq_ = 0;
  bool flip_loss_logged_ = false;
  bool show_failure_logged_ = false;
};

bool DrmDisplay::open_card() {
  uint64_t has_dumb = 0;
  if (drmGetCap(fd_, DRM_CAP_DUMB_BUFFER, &has_dumb) != 0 || has_dumb == 0) {
    return fail("no dumb buffers");
  }
  uint64_t depth = 0;
  if (drmGetCap(fd_, DRM_CAP_DUMB_PREFERRED_DEPTH, &depth) != 0) depth = 0;
  drmSetClientCap(fd_, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);  // without it: no primary planes
  ResourcesPtr res(drmModeGetResources(fd_));
  if (!res) return log_failure("reading the mode resources");

  std::vector<ConnectorPtr> connectors;
  std::vector<DrmConnectorDesc> described;
  for (int i = 0; i < res->count_connectors; ++i) {
    connectors.emplace_back(drmModeGetConnector(fd_, res->connectors[i]));
    described.push_back(connectors.back() ? describe(*connectors.back()) : DrmConnectorDesc{});
  }
  const int chosen = choose_drm_connector(described);
  if (chosen < 0) return fail("no connected screen");
  const drmModeConnector& connector = *connectors[chosen];
  const DrmConnectorDesc& desc = described[chosen];
  char connector_name[32];
  snprintf(connector_name, sizeof connector_name, "%s-%u", connector_type_name(desc.type),
           connector.connector_type_id);
  mode_ = connector.modes[choose_drm_mode(desc.modes)];
  connector_id_ = connector.connector_id;
  if (mode_.hdisplay == 0 || mode_.vdisplay == 0 || mode_.hdisplay > kMaxScreenSide ||
      mode_.vdisplay > kMaxScreenSide) {
    return fail("the screen's mode has no usable size");
  }

  std::vector<DrmEncoderDesc> encoders;
  for (int i = 0; i < res->count_encoders; ++i) {
    EncoderPtr e(drmModeGetEncoder(fd_, res->encoders[i]));
    if (e) encoders.push_back(DrmEncoderDesc{e->encoder_id, e->crtc_id, e->possible_crtcs});
  }
  const std::vector<uint32_t> crtc_ids(res->crtcs, res->crtcs + res->count_crtcs);
  const int crtc = choose_drm_crtc(desc, encoders, crtc_ids);
  if (crtc < 0) return fail("no CRTC can drive the screen");
  crtc_id_ = crtc_ids[crtc];

  const uint32_t format = choose_drm_format(depth, describe_planes(fd_), crtc);
  if (format == 0) return fail("the screen takes none of XRGB8888, XBGR8888, RGB565");
  layout_ = drm_format_layout(format);
  for (DumbBuffer& b : buffers_) {
    if (!create_buffer(b, format)) return false;
  }
  if (drmModeSetCrtc(fd_, crtc_id_, buffers_[0].fb_id, 0, 0, &connector_id_, 1, &mode_) != 0) {
    return log_failure("setting the mode");
  }
  mode_set_ = true;
  kernel_log_write(6, "<6>alarm: display %s: connector %s, mode %ux%u@%u, format %s\n",
                   path_.c_str(), connector_name, mode_.hdisplay, mode_.vdisplay,
                   mode_refresh(mode_), format_name(format));
  return true;
}

// A dumb buffer of the mode's size, mapped, cleared to black and made a framebuffer.
bool DrmDisplay::create_buffer(DumbBuffer& b, uint32_t format) {
  const uint32_t bpp = drm_format_bits_per_pixel(format);
  drm_mode_create_dumb create = {};
  create.width = mode_.hdisplay;
  create.height = mode_.vdisplay;
  create.bpp = bpp;
  if (drmIoctl(fd_, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
    return log_failure("creating a dumb buffer");
  }
  b.handle = create.handle;
  b.pitch = create.pitch;
  b.size = create.size;
  // Every copy stays inside the mapping, whatever the driver answered.
  const uint64_t row = static_cast<uint64_t>(mode_.hdisplay) * (bpp / 8);
  if (b.pitch < row || b.size < static_cast<uint64_t>(b.pitch) * mode_.vdisplay ||
      b.size > SIZE_MAX) {
    return fail("a dumb buffer is smaller than the screen");
  }
  drm_mode_map_dumb map = {};
  map.handle = b.handle;
  if (drmIoctl(fd_, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
    return log_failure("preparing a dumb buffer's mapping");
  }
  void* m = map_buffer(fd_, static_cast<size_t>(b.size), map.offset);
  if (m == MAP_FAILED) return log_failure("mapping a dumb buffer");
  b.map = static_cast<uint8_t*>(m);
  memset(b.map, 0, static_cast<size_t>(b.size));
  uint32_t handles[4] = {b.handle, 0, 0, 0};
  uint32_t pitches[4] = {b.pitch, 0, 0, 0};
  uint32_t offsets[4] = {0, 0, 0, 0};
  if (drmModeAddFB2(fd_, mode_.hdisplay, mode_.vdisplay, format, handles, pitches, offsets,
                    &b.fb_id, 0) != 0) {
    b.fb_id = 0;
    return log_failure("adding a framebuffer");
  }
  return true;
}

void DrmDisplay::release(DumbBuffer& b) {
  if (b.fb_id != 0) drmModeRmFB(fd_, b.fb_id);
  if (b.map != nullptr) munmap(b.map, static_cast<size_t>(b.size));
  if (b.handle != 0) {
    drm_mode_destroy_dumb destroy = {};
    destroy.handle = b.handle;
    drmIoctl(fd_, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
  }
  b = DumbBuffer{};
}

// Waits, at most kFlipWaitMs, for the event of the flip last asked for. After a lost event
// the next frame goes on all the same: a torn frame at worst, never a stopped screen.
void DrmDisplay::wait_for_flip() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFlipWaitMs);
  drmEventContext events = {};
  events.version = 2;
  events.page_flip_handler = on_page_flip;
  while (flip_pending_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p = {fd_, POLLIN, 0};
    const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & POLLIN) == 0) {
      flip_pending_ = false;
      if (!flip_loss_logged_) {
        flip_loss_logged_ = true;
        kernel_log_write(3, "<3>alarm: display %s: no page flip event within %d ms\n",
                         path_.c_str(), kFlipWaitMs);
      }
      return;
    }
    t_flip_done = 0;
    if (drmHandleEvent(fd_, &events) != 0) {
      flip_pending_ = false;  // the events cannot be read: wait no longer
      return;
    }
    if (t_flip_done == flip_seq_) flip_pending_ = false;
  }
}

}  // namespace

// Tries /dev/dri/card0, card1, ... and shows the alarm on the first that can.
std::unique_ptr<Display> open_drm_display() {
  for (int n = 0; n < kMaxCards; ++n) {
    char phone_path[sizeof kCardPathPrefix + 8];
    snprintf(phone_path, sizeof phone_path, "%s%d", kCardPathPrefix, n);
    const std::string path = device_path(phone_path);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        kernel_log_write(3, "<3>alarm: display %s: cannot open: %s\n", phone_path, strerror(errno));
      }
      continue;
    }
    auto display = std::make_unique<DrmDisplay>(fd, phone_path);
    if (display->open_card()) return display;
  }
  return nullptr;
}

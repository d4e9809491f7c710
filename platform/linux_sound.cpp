// The kernel's ALSA interface, spoken directly: a phone has no alsa-lib, and tinyalsa (which
// Android's own tools use for the same ioctls) is not packaged for the host, so this file
// does what tinyalsa does, with the few calls the ring player needs: hardware and software
// parameters, prepare, write frames, delay, drop and drain on the PCM device, and the element
// list, info and write on the control device. The same code runs on the phone and in the
// virtual machine's guest.
#include "platform/linux_sound.h"

#include <fcntl.h>
#include <sound/asound.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/unique_fd.h"

namespace {

// One period is about 10 ms and the card holds 4 to 8 of them: little enough that a stop is
// heard at once, enough that a busy phone does not starve the card.
constexpr unsigned kPeriodsPerSecond = 100;
constexpr unsigned kMinPeriods = 4;
constexpr unsigned kMaxPeriods = 8;
constexpr unsigned kFallbackRates[] = {48000, 44100, 32000, 16000};
constexpr unsigned kSampleBits = 16;
constexpr unsigned kMaskWordBits = 32;
constexpr unsigned kMaxControlValues = 128;  // what one element write carries

snd_mask* param_mask(snd_pcm_hw_params* p, int which) {
  return &p->masks[which - SNDRV_PCM_HW_PARAM_FIRST_MASK];
}
snd_interval* param_interval(snd_pcm_hw_params* p, int which) {
  return &p->intervals[which - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

// Everything open, as the kernel expects a request to start.
void init_hw_params(snd_pcm_hw_params* p) {
  memset(p, 0, sizeof *p);
  for (int m = SNDRV_PCM_HW_PARAM_FIRST_MASK; m <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++m) {
    snd_mask* mask = param_mask(p, m);
    for (auto& word : mask->bits) word = ~0U;
  }
  for (int i = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; i <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++i) {
    snd_interval* in = param_interval(p, i);
    in->min = 0;
    in->max = UINT_MAX;
  }
  p->rmask = ~0U;
  p->info = ~0U;
}

void set_mask(snd_pcm_hw_params* p, int which, unsigned bit) {
  snd_mask* mask = param_mask(p, which);
  memset(mask, 0, sizeof *mask);
  mask->bits[bit / kMaskWordBits] = 1U << (bit % kMaskWordBits);
}

void set_range(snd_pcm_hw_params* p, int which, unsigned min, unsigned max) {
  snd_interval* in = param_interval(p, which);
  in->min = min;
  in->max = max;
  in->integer = 1;
}

class AlsaStream : public SoundStream {
 public:
  AlsaStream(UniqueFd fd, unsigned rate, unsigned channels)
      : SoundStream(rate, channels), fd_(std::move(fd)) {}
  ~AlsaStream() override { ioctl(fd_.get(), SNDRV_PCM_IOCTL_DROP); }

  int write(const int16_t* samples, size_t frames) override {
    while (frames > 0) {
      snd_xferi x = {};
      x.buf = const_cast<int16_t*>(samples);
      x.frames = static_cast<snd_pcm_uframes_t>(frames);
      if (ioctl(fd_.get(), SNDRV_PCM_IOCTL_WRITEI_FRAMES, &x) != 0) {
        if (errno == EPIPE) {
          // The card ran dry (the phone was busy): start again from here.
          if (ioctl(fd_.get(), SNDRV_PCM_IOCTL_PREPARE) != 0) return -errno;
          continue;
        }
        return -errno;
      }
      size_t done = static_cast<size_t>(x.result);
      if (done > frames) done = frames;
      samples += done * channels();
      frames -= done;
    }
    return 0;
  }

  int64_t queued_frames() override {
    snd_pcm_sframes_t delay = 0;
    if (ioctl(fd_.get(), SNDRV_PCM_IOCTL_DELAY, &delay) != 0 || delay < 0) return 0;
    return delay;
  }

  void drop() override { ioctl(fd_.get(), SNDRV_PCM_IOCTL_DROP); }

  void drain() override {
    // A card that never started (a file shorter than the start threshold) is started first.
    ioctl(fd_.get(), SNDRV_PCM_IOCTL_START);
    if (ioctl(fd_.get(), SNDRV_PCM_IOCTL_DRAIN) != 0) drop();
  }

 private:
  UniqueFd fd_;
};

// The hardware parameters for rate x channels, as the card settles them: 0 or -errno.
int set_hw_params(int fd, unsigned rate, unsigned channels, snd_pcm_uframes_t* period,
                  snd_pcm_uframes_t* buffer) {
  snd_pcm_hw_params p;
  init_hw_params(&p);
  set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
  set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
  set_mask(&p, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
  set_range(&p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, kSampleBits, kSampleBits);
  set_range(&p, SNDRV_PCM_HW_PARAM_FRAME_BITS, kSampleBits * channels, kSampleBits * channels);
  set_range(&p, SNDRV_PCM_HW_PARAM_CHANNELS, channels, channels);
  set_range(&p, SNDRV_PCM_HW_PARAM_RATE, rate, rate);
  unsigned frames = rate / kPeriodsPerSecond;
  set_range(&p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE, frames, frames * 2);
  set_range(&p, SNDRV_PCM_HW_PARAM_PERIODS, kMinPeriods, kMaxPeriods);
  if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p) != 0) {
    // A card whose periods are of other sizes: let it choose them.
    init_hw_params(&p);
    set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    set_mask(&p, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    set_range(&p, SNDRV_PCM_HW_PARAM_CHANNELS, channels, channels);
    set_range(&p, SNDRV_PCM_HW_PARAM_RATE, rate, rate);
    if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p) != 0) return -errno;
  }
  *period = param_interval(&p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->max;
  *buffer = param_interval(&p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->max;
  return 0;
}

int set_sw_params(int fd, snd_pcm_uframes_t period, snd_pcm_uframes_t buffer) {
  snd_pcm_sw_params sw = {};
  sw.tstamp_mode = SNDRV_PCM_TSTAMP_NONE;
  sw.period_step = 1;
  sw.avail_min = period;
  sw.start_threshold = period;  // sound as soon as one period is there
  sw.stop_threshold = buffer;
  snd_pcm_uframes_t boundary = buffer;
  while (boundary <= static_cast<snd_pcm_uframes_t>(LONG_MAX) / 2 - buffer) boundary *= 2;
  sw.boundary = boundary;
  return ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) == 0 ? 0 : -errno;
}

// The control named `name` (the first with that name), or -1 with errno.
int find_control(int fd, const char* name, snd_ctl_elem_id* found) {
  snd_ctl_elem_list list = {};
  if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list) != 0) return -1;
  std::vector<snd_ctl_elem_id> ids(list.count);
  list.space = list.count;
  list.pids = ids.data();
  if (list.count > 0 && ioctl(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list) != 0) return -1;
  size_t used = list.used < ids.size() ? list.used : ids.size();
  for (size_t i = 0; i < used; ++i) {
    if (strncmp(reinterpret_cast<const char*>(ids[i].name), name, sizeof ids[i].name) == 0) {
      *found = ids[i];
      return 0;
    }
  }
  errno = ENOENT;
  return -1;
}

// The item of an enumerated control named `text` (or given by its number).
bool enumerated_item(int fd, snd_ctl_elem_info* info, const char* text, unsigned* item) {
  unsigned items = info->value.enumerated.items;
  for (unsigned i = 0; i < items; ++i) {
    snd_ctl_elem_info one = *info;
    one.value.enumerated.item = i;
    if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &one) != 0) return false;
    one.value.enumerated.name[sizeof one.value.enumerated.name - 1] = '\0';
    if (strcmp(one.value.enumerated.name, text) == 0) {
      *item = i;
      return true;
    }
  }
  long n = 0;
  if (!mixer_integer_value(text, 0, items > 0 ? items - 1 : 0, &n) || items == 0) return false;
  *item = static_cast<unsigned>(n);
  return true;
}

}  // namespace

bool mixer_integer_value(const char* text, long min, long max, long* value) {
  if (strcmp(text, "on") == 0 || strcmp(text, "off") == 0) {
    *value = text[1] == 'n' ? max : min;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long long n = strtoll(text, &end, 10);
  if (end == text || errno != 0) return false;
  bool percent = *end == '%';
  if (percent) ++end;
  if (*end != '\0') return false;
  if (percent) {
    if (n < 0) n = 0;
    if (n > 100) n = 100;
    n = min + (static_cast<long long>(max) - min) * n / 100;
  }
  if (n < min) n = min;
  if (n > max) n = max;
  *value = static_cast<long>(n);
  return true;
}

std::unique_ptr<SoundStream> open_alsa_playback(const std::string& pcm_path, unsigned rate,
                                                unsigned channels) {
  // Opened without blocking: a busy device says so rather than making the ring wait for it.
  UniqueFd fd(open(pcm_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return nullptr;
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;

  std::vector<unsigned> rates = {rate};
  for (unsigned r : kFallbackRates) {
    if (r != rate) rates.push_back(r);
  }
  std::vector<unsigned> counts = {channels};
  for (unsigned c : {2U, 1U}) {
    if (c != channels) counts.push_back(c);
  }
  snd_pcm_uframes_t period = 0, buffer = 0;
  int err = -EINVAL;
  for (unsigned c : counts) {
    for (unsigned r : rates) {
      err = set_hw_params(fd.get(), r, c, &period, &buffer);
      if (err == 0) {
        if (set_sw_params(fd.get(), period, buffer) != 0 ||
            ioctl(fd.get(), SNDRV_PCM_IOCTL_PREPARE) != 0) {
          return nullptr;
        }
        return std::make_unique<AlsaStream>(std::move(fd), r, c);
      }
      if (err != -EINVAL) {
        errno = -err;
        return nullptr;
      }
    }
  }
  errno = EINVAL;
  return nullptr;
}

int set_alsa_mixer_control(const std::string& control_path, const char* name, const char* value) {
  UniqueFd fd(open(control_path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  snd_ctl_elem_info info = {};
  if (find_control(fd.get(), name, &info.id) != 0) return -1;
  if (ioctl(fd.get(), SNDRV_CTL_IOCTL_ELEM_INFO, &info) != 0) return -1;
  snd_ctl_elem_value v = {};
  v.id = info.id;
  unsigned count = info.count;
  switch (info.type) {
    case SNDRV_CTL_ELEM_TYPE_BOOLEAN:
    case SNDRV_CTL_ELEM_TYPE_INTEGER: {
      long min = info.type == SNDRV_CTL_ELEM_TYPE_BOOLEAN ? 0 : info.value.integer.min;
      long max = info.type == SNDRV_CTL_ELEM_TYPE_BOOLEAN ? 1 : info.value.integer.max;
      long n = 0;
      if (!mixer_integer_value(value, min, max, &n)) break;
      if (count > kMaxControlValues) count = kMaxControlValues;
      for (unsigned i = 0; i < count; ++i) v.value.integer.value[i] = n;
      return ioctl(fd.get(), SNDRV_CTL_IOCTL_ELEM_WRITE, &v) == 0 ? 0 : -1;
    }
    case SNDRV_CTL_ELEM_TYPE_ENUMERATED: {
      unsigned item = 0;
      if (!enumerated_item(fd.get(), &info, value, &item)) break;
      if (count > kMaxControlValues) count = kMaxControlValues;
      for (unsigned i = 0; i < count; ++i) v.value.enumerated.item[i] = item;
      return ioctl(fd.get(), SNDRV_CTL_IOCTL_ELEM_WRITE, &v) == 0 ? 0 : -1;
    }
    default:
      break;
  }
  errno = EINVAL;
  return -1;
}

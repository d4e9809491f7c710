// What the DRM/KMS display chooses among what a card offers: the connector, its mode, the
// CRTC and the pixel format, each a small function over plain descriptions of the card.
#pragma once

#include <drm_fourcc.h>

#include <cstdint>
#include <vector>

#include "screen/frame_copy.h"

struct DrmModeDesc {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refresh = 0;  // Hz
  bool preferred = false;
};

struct DrmConnectorDesc {
  uint32_t type = 0;  // DRM_MODE_CONNECTOR_*
  bool connected = false;
  uint32_t encoder_id = 0;            // the encoder driving it now, 0 for none
  std::vector<uint32_t> encoder_ids;  // the encoders that can drive it
  std::vector<DrmModeDesc> modes;
};

struct DrmEncoderDesc {
  uint32_t id = 0;
  uint32_t crtc_id = 0;         // the CRTC it feeds now, 0 for none
  uint32_t possible_crtcs = 0;  // bit i: the card's CRTC i
};

struct DrmPlaneDesc {
  bool primary = false;
  uint32_t possible_crtcs = 0;  // bit i: the card's CRTC i
  std::vector<uint32_t> formats;
};

// The connector to show the alarm on: the first connected built-in panel (LVDS, eDP, DSI),
// else the first connected connector; one without modes cannot be lit. -1 for none.
int choose_drm_connector(const std::vector<DrmConnectorDesc>& connectors);

// The connector's preferred mode, else its first; -1 when it has none.
int choose_drm_mode(const std::vector<DrmModeDesc>& modes);

// The index in `crtc_ids` of a CRTC that can drive `connector`: the one its current encoder
// feeds, else the first its encoders may use. -1 for none.
int choose_drm_crtc(const DrmConnectorDesc& connector, const std::vector<DrmEncoderDesc>& encoders,
                    const std::vector<uint32_t>& crtc_ids);

// The format for the primary plane of CRTC `crtc_index`: RGB 565 when the card prefers a
// depth of 16 and the plane takes it, else XRGB 8888, else XBGR 8888, else RGB 565. A card
// that tells no primary plane is driven as the legacy interface assumes (by the depth).
// 0 when the plane takes none of them.
uint32_t choose_drm_format(uint64_t preferred_depth, const std::vector<DrmPlaneDesc>& planes,
                           int crtc_index);

// The bits of a pixel of `format` (DRM_FORMAT_XRGB8888, XBGR8888 or RGB565; 0 for others)
// and where it keeps the colours, for the frame copy.
uint32_t drm_format_bits_per_pixel(uint32_t format);
FrameLayout drm_format_layout(uint32_t format);

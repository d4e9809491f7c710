#include "screen/graphics_drm.h"

#include <gtest/gtest.h>
#include <xf86drmMode.h>

#include <vector>

namespace {

DrmModeDesc mode(uint32_t w, uint32_t h, bool preferred = false) {
  DrmModeDesc m;
  m.width = w;
  m.height = h;
  m.refresh = 60;
  m.preferred = preferred;
  return m;
}

DrmConnectorDesc connector(uint32_t type, bool connected, uint32_t encoder = 0) {
  DrmConnectorDesc c;
  c.type = type;
  c.connected = connected;
  c.encoder_id = encoder;
  c.modes = {mode(1280, 720, true)};
  return c;
}

TEST(DrmDisplayChoice, ABuiltInPanelGoesBeforeAnEarlierConnectedScreen) {
  std::vector<DrmConnectorDesc> cards = {connector(DRM_MODE_CONNECTOR_HDMIA, true),
                                         connector(DRM_MODE_CONNECTOR_DSI, true)};
  EXPECT_EQ(choose_drm_connector(cards), 1);

  // A panel that is not connected, or connected without a mode, cannot be lit.
  cards[1].connected = false;
  EXPECT_EQ(choose_drm_connector(cards), 0);
  cards[1].connected = true;
  cards[1].modes.clear();
  EXPECT_EQ(choose_drm_connector(cards), 0);

  cards[0].connected = false;
  EXPECT_EQ(choose_drm_connector(cards), -1);
}

TEST(DrmDisplayChoice, ThePreferredModeElseTheFirst) {
  EXPECT_EQ(choose_drm_mode({mode(1920, 1080), mode(480, 800, true), mode(640, 480)}), 1);
  EXPECT_EQ(choose_drm_mode({mode(1920, 1080), mode(640, 480)}), 0);
  EXPECT_EQ(choose_drm_mode({}), -1);
}

TEST(DrmDisplayChoice, TheCrtcOfTheCurrentEncoderElseOneItsEncodersMayUse) {
  const std::vector<uint32_t> crtcs = {40, 41, 42};
  DrmConnectorDesc c = connector(DRM_MODE_CONNECTOR_eDP, true, 30);
  c.encoder_ids = {31, 30};
  std::vector<DrmEncoderDesc> encoders = {{30, 42, 0b111}, {31, 0, 0b110}};
  EXPECT_EQ(choose_drm_crtc(c, encoders, crtcs), 2);

  // Nothing lit yet (a kernel without a boot console): the first encoder's first CRTC.
  c.encoder_id = 0;
  encoders[0].crtc_id = 0;
  EXPECT_EQ(choose_drm_crtc(c, encoders, crtcs), 1);

  encoders[1].possible_crtcs = 0;
  EXPECT_EQ(choose_drm_crtc(c, encoders, crtcs), 0);
  encoders[0].possible_crtcs = 0;
  EXPECT_EQ(choose_drm_crtc(c, encoders, crtcs), -1);
}

TEST(DrmDisplayChoice, SixteenBitsOnlyWhenPreferredAndOfferedForThatCrtc) {
  DrmPlaneDesc other_crtc;
  other_crtc.primary = true;
  other_crtc.possible_crtcs = 0b01;
  other_crtc.formats = {DRM_FORMAT_RGB565};
  DrmPlaneDesc overlay;
  overlay.possible_crtcs = 0b10;
  overlay.formats = {DRM_FORMAT_RGB565};
  DrmPlaneDesc primary;
  primary.primary = true;
  primary.possible_crtcs = 0b10;
  primary.formats = {DRM_FORMAT_ARGB8888, DRM_FORMAT_XBGR8888, DRM_FORMAT_XRGB8888};
  std::vector<DrmPlaneDesc> planes = {other_crtc, overlay, primary};

  EXPECT_EQ(choose_drm_format(16, planes, 1), DRM_FORMAT_XRGB8888);
  EXPECT_EQ(choose_drm_format(24, planes, 1), DRM_FORMAT_XRGB8888);
  planes[2].formats.push_back(DRM_FORMAT_RGB565);
  EXPECT_EQ(choose_drm_format(16, planes, 1), DRM_FORMAT_RGB565);
  EXPECT_EQ(choose_drm_format(32, planes, 1), DRM_FORMAT_XRGB8888);
  planes[2].formats = {DRM_FORMAT_XBGR8888, DRM_FORMAT_RGB565};
  EXPECT_EQ(choose_drm_format(24, planes, 1), DRM_FORMAT_XBGR8888);
  planes[2].formats = {DRM_FORMAT_ARGB8888};
  EXPECT_EQ(choose_drm_format(24, planes, 1), 0u);

  // A card that tells no primary plane: by its depth, as the legacy interface takes it.
  EXPECT_EQ(choose_drm_format(16, {overlay}, 1), DRM_FORMAT_RGB565);
  EXPECT_EQ(choose_drm_format(24, {overlay}, 1), DRM_FORMAT_XRGB8888);
}

// Each format gets the colours drawn: a red pixel of the back surface (R, G, B, A bytes or
// RGB 565) lands where the format keeps red.
TEST(DrmDisplayChoice, EachFormatShowsRedAsRed) {
  const uint8_t red32[4] = {0xff, 0x00, 0x00, 0xff};
  uint32_t word = 0;
  copy_frame(reinterpret_cast<uint8_t*>(&word), 4, red32, 1, 1,
             drm_format_layout(DRM_FORMAT_XRGB8888), false);
  EXPECT_EQ(word & 0xffffffu, 0xff0000u);
  copy_frame(reinterpret_cast<uint8_t*>(&word), 4, red32, 1, 1,
             drm_format_layout(DRM_FORMAT_XBGR8888), false);
  EXPECT_EQ(word & 0xffffffu, 0x0000ffu);
  const uint16_t red16 = 0xf800;
  uint16_t half = 0;
  copy_frame(reinterpret_cast<uint8_t*>(&half), 2, reinterpret_cast<const uint8_t*>(&red16), 1, 1,
             drm_format_layout(DRM_FORMAT_RGB565), false);
  EXPECT_EQ(half, 0xf800);
  EXPECT_EQ(drm_format_bits_per_pixel(DRM_FORMAT_RGB565), 16u);
  EXPECT_EQ(drm_format_bits_per_pixel(DRM_FORMAT_XBGR8888), 32u);
  EXPECT_EQ(drm_format_bits_per_pixel(DRM_FORMAT_ARGB8888), 0u);
}

}  // namespace

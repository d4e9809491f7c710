# The power-off alarm for a firmware tree built with make (Android 4.x to 6). The files are
# those of cmake/alarm_sources.cmake's ALARM_PHONE_SOURCES (the SourceLists test compares
# them), as in Android.bp for Soong trees. It defines the module only in trees of Android
# 4.0 to 6.0 (SDK 14 to 23), with the ring player beside it: in later trees Android.bp does, and a module defined twice
# would clash. The module is C++17: a tree whose own compiler is older needs a newer clang
# for it. Make installs no init file in these trees: the lines of android/poweroff_alarm.rc
# go into the device's init.<device>.rc.
LOCAL_PATH := $(call my-dir)

ifneq ($(filter 14 15 16 17 18 19 20 21 22 23,$(PLATFORM_SDK_VERSION)),)
include $(CLEAR_VARS)
LOCAL_MODULE := poweroff_alarm
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    alarm/alarm.cpp \
    alarm/alarm_db.cpp \
    alarm/alarm_delay.cpp \
    alarm/alarm_exit.cpp \
    alarm/alarm_flag.cpp \
    alarm/alarm_rtc.cpp \
    alarm/alarm_schedule.cpp \
    base/alarm_status.cpp \
    base/kernel_log.cpp \
    base/shell.cpp \
    base/system_property.cpp \
    base/time_zone.cpp \
    devices/backlight.cpp \
    devices/control_file.cpp \
    devices/music.cpp \
    devices/vibrator.cpp \
    input/input_devices.cpp \
    input/input_event.cpp \
    input/tp_calibration.cpp \
    raster/raster.cpp \
    screen/alarm_screen.cpp \
    screen/font_list.cpp \
    screen/frame_copy.cpp \
    screen/graphics.cpp \
    screen/graphics_drm.cpp \
    screen/graphics_fbdev.cpp \
    screen/label.cpp \
    screen/resources.cpp \
    screen/text_draw.cpp \
    screen/text_fonts.cpp \
    screen/text_input.cpp \
    screen/text_runs.cpp \
    screen/text_shape.cpp \
    platform/platform.cpp \
    platform/linux_platform.cpp \
    platform/linux_sound.cpp \
    alarm/phone_main.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH) external/libpng external/zlib external/libdrm \
    external/libdrm/include/drm external/freetype/include external/harfbuzz_ng/src \
    external/expat/lib
LOCAL_CPPFLAGS := -std=c++17 -Wall -Wextra -Werror
LOCAL_STATIC_LIBRARIES := libpng libz
# libdrm for a DRM/KMS screen; FreeType, HarfBuzz and expat for the alarm's label.
LOCAL_SHARED_LIBRARIES := libdrm libft2 libharfbuzz_ng libexpat
# The tool the alarms are read with: user builds leave it out unless a module asks.
LOCAL_REQUIRED_MODULES := sqlite3 poweroff_alarm_player
include $(BUILD_EXECUTABLE)

# The ring player, installed as /system/bin/mplayer: the files of
# ALARM_PLAYER_PHONE_SOURCES, with Tremor (external/tremolo), speexdsp's resampler
# (external/speex), expat, and libmpg123, which the README says how to add to a tree.
include $(CLEAR_VARS)
LOCAL_MODULE := poweroff_alarm_player
LOCAL_MODULE_STEM := mplayer
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    player/alarm_tone.cpp \
    player/mp3_source.cpp \
    player/player_config.cpp \
    player/ring_player.cpp \
    player/sound_convert.cpp \
    player/sound_source.cpp \
    player/vorbis_source.cpp \
    player/wav_source.cpp \
    base/kernel_log.cpp \
    platform/platform.cpp \
    platform/linux_platform.cpp \
    platform/linux_sound.cpp \
    player/player_main.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH) external/tremolo external/speex/include external/expat/lib \
    external/mpg123/src/libmpg123
LOCAL_CPPFLAGS := -std=c++17 -Wall -Wextra -Werror
LOCAL_STATIC_LIBRARIES := libmpg123 libvorbisidec
LOCAL_SHARED_LIBRARIES := libspeexresampler libexpat
include $(BUILD_EXECUTABLE)
endif

# The program's source files, named once, relative to the project root. The main build
# (CMakeLists.txt) and the fuzz build (fuzz/CMakeLists.txt) take them from here; Android.bp
# and Android.mk name the same phone files, and the SourceLists test fails when they differ
# or when a source file of the program's folders is in no list. A new module is one line
# here and the same line in Android.bp and Android.mk.

# The program's modules: the same code on the phone and in the sandbox, without main().
set(ALARM_PROGRAM_SOURCES
  alarm/alarm.cpp
  alarm/alarm_db.cpp
  alarm/alarm_delay.cpp
  alarm/alarm_exit.cpp
  alarm/alarm_flag.cpp
  alarm/alarm_rtc.cpp
  alarm/alarm_schedule.cpp
  base/alarm_status.cpp
  base/kernel_log.cpp
  base/shell.cpp
  base/system_property.cpp
  base/time_zone.cpp
  devices/backlight.cpp
  devices/control_file.cpp
  devices/music.cpp
  devices/vibrator.cpp
  input/input_devices.cpp
  input/input_event.cpp
  input/tp_calibration.cpp
  raster/raster.cpp
  screen/alarm_screen.cpp
  screen/font_list.cpp
  screen/frame_copy.cpp
  screen/graphics.cpp
  screen/graphics_drm.cpp
  screen/graphics_fbdev.cpp
  screen/label.cpp
  screen/resources.cpp
  screen/text_draw.cpp
  screen/text_fonts.cpp
  screen/text_input.cpp
  screen/text_runs.cpp
  screen/text_shape.cpp
)

# The platform seam: the helpers both sides use, and the Linux side (the phone).
set(ALARM_PLATFORM_SOURCES
  platform/platform.cpp
)
set(ALARM_LINUX_PLATFORM_SOURCES
  platform/linux_platform.cpp
  platform/linux_sound.cpp
)

# The phone's main(): the Linux platform, then the alarm.
set(ALARM_PHONE_MAIN_SOURCES
  alarm/phone_main.cpp
)

# The phone program, as Android.bp and Android.mk build it.
set(ALARM_PHONE_SOURCES
  ${ALARM_PROGRAM_SOURCES}
  ${ALARM_PLATFORM_SOURCES}
  ${ALARM_LINUX_PLATFORM_SOURCES}
  ${ALARM_PHONE_MAIN_SOURCES}
)

# The ring player, the phone's second program ("/system/bin/mplayer"), without main().
set(ALARM_PLAYER_SOURCES
  player/alarm_tone.cpp
  player/mp3_source.cpp
  player/player_config.cpp
  player/ring_player.cpp
  player/sound_convert.cpp
  player/sound_source.cpp
  player/vorbis_source.cpp
  player/wav_source.cpp
)
set(ALARM_PLAYER_MAIN_SOURCES
  player/player_main.cpp
)

# The ring player as Android.bp and Android.mk build it: its own files, the kernel log and
# the platform seam's Linux side.
set(ALARM_PLAYER_PHONE_SOURCES
  ${ALARM_PLAYER_SOURCES}
  base/kernel_log.cpp
  ${ALARM_PLATFORM_SOURCES}
  ${ALARM_LINUX_PLATFORM_SOURCES}
  ${ALARM_PLAYER_MAIN_SOURCES}
)

# The sandbox side of the seam, for the host only.
set(ALARM_SANDBOX_PLATFORM_SOURCES
  sandbox/sandbox_clock.cpp
  sandbox/sandbox_files.cpp
  sandbox/sandbox_jumps.cpp
  sandbox/sandbox_platform.cpp
  sandbox/sandbox_sound.cpp
)

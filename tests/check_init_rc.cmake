# Checks the init file of the firmware build: the service is one-shot and disabled, started
# in both alarm boot modes, and when it stops with the phone still on, Android starts
# (zygote), so no ending of the program leaves the phone on a black screen.
#   cmake -DROOT=<project root> -P tests/check_init_rc.cmake
cmake_minimum_required(VERSION 3.16)
set(rc_file ${ROOT}/android/poweroff_alarm.rc)

# Each section of the file ("service ..." or "on ...") with its commands, keyed by its
# first line: rc_<n> holds the commands of the section whose heading is rc_heading_<n>.
file(STRINGS ${rc_file} lines)
set(count 0)
foreach(line ${lines})
  string(STRIP "${line}" line)
  string(REGEX REPLACE "[ \t]+" " " line "${line}")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(line MATCHES "^(service|on) ")
    math(EXPR count "${count} + 1")
    set(rc_heading_${count} "${line}")
    set(rc_${count} "")
  elseif(count GREATER 0)
    list(APPEND rc_${count} "${line}")
  endif()
endforeach()

set(problems "")
# The commands of the section headed `heading` into `out`; a problem when there is none.
function(section out heading)
  set(n 0)
  while(n LESS count)
    math(EXPR n "${n} + 1")
    if(rc_heading_${n} STREQUAL heading)
      set(${out} "${rc_${n}}" PARENT_SCOPE)
      return()
    endif()
  endwhile()
  set(problems "${problems}\n  no section \"${heading}\"" PARENT_SCOPE)
  set(${out} "" PARENT_SCOPE)
endfunction()
function(expect commands heading command)
  if(NOT command IN_LIST commands)
    set(problems "${problems}\n  \"${heading}\" lacks \"${command}\"" PARENT_SCOPE)
  endif()
endfunction()

set(service "service poweroff_alarm /system/bin/poweroff_alarm")
section(commands "${service}")
expect("${commands}" "${service}" "oneshot")
expect("${commands}" "${service}" "disabled")

foreach(mode alarm alarmboot)
  set(trigger "on property:ro.bootmode=${mode}")
  section(commands "${trigger}")
  expect("${commands}" "${trigger}" "start poweroff_alarm")
endforeach()

# The program's own directory, for the snooze note where the clock application's takes no
# new file.
set(trigger "on post-fs-data")
section(commands "${trigger}")
expect("${commands}" "${trigger}" "mkdir /data/misc/poweroff_alarm 0700 root root")

# One trigger alone: the actions of Android 4.x to 6 take no "&&".
set(trigger "on property:init.svc.poweroff_alarm=stopped")
section(commands "${trigger}")
expect("${commands}" "${trigger}" "start zygote")

if(problems)
  message(FATAL_ERROR "android/poweroff_alarm.rc:${problems}")
endif()
message(STATUS "the init file starts the alarm in both boot modes and Android when it ends")

# Fails when a dependency points up. input/, devices/, screen/ and raster/ include only the
# leaves of alarm/ below (besides each other and platform/); the leaves include only each
# other and platform/; platform/ includes only itself; no file of the program includes sim/.
# Tests and their support headers (names with "_test" in them) run on the host sandbox and
# may include anything.
#   cmake -DROOT=<project root> -P tests/check_includes.cmake
cmake_minimum_required(VERSION 3.16)
set(ALARM_LEAVES
  alarm/alarm_status.h    # the threads' shared words
  alarm/decimal_text.h    # decimal text
  alarm/kernel_log.h      # the kernel log
  alarm/shell.h           # the shell runner
  alarm/system_property.h # system properties
)

# The project's own includes of `file`, as written ("dir/name.h").
function(project_includes out file)
  file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  set(names "")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(program_files out)
  set(files "")
  foreach(dir ${ARGN})
    file(GLOB found RELATIVE ${ROOT} ${ROOT}/${dir}/*.cpp ${ROOT}/${dir}/*.h)
    list(FILTER found EXCLUDE REGEX "_test[._]")
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

set(problems "")
program_files(files alarm input devices screen raster platform)
foreach(file ${files})
  get_filename_component(dir ${file} DIRECTORY)
  get_filename_component(base ${file} NAME_WE)
  set(is_leaf FALSE)
  if("${dir}/${base}.h" IN_LIST ALARM_LEAVES)
    set(is_leaf TRUE)
  endif()
  project_includes(names ${file})
  foreach(name ${names})
    get_filename_component(to ${name} DIRECTORY)
    set(bad FALSE)
    if(to STREQUAL "sim")
      set(bad TRUE)
    elseif(dir STREQUAL "platform")
      if(NOT to STREQUAL "platform")
        set(bad TRUE)
      endif()
    elseif(is_leaf OR NOT dir STREQUAL "alarm")
      if(to STREQUAL "alarm" AND NOT name IN_LIST ALARM_LEAVES)
        set(bad TRUE)
      elseif(is_leaf AND NOT to MATCHES "^(alarm|platform)$")
        set(bad TRUE)
      endif()
    endif()
    if(bad)
      string(APPEND problems "\n  ${file} includes ${name}")
    endif()
  endforeach()
endforeach()

if(problems)
  list(JOIN ALARM_LEAVES ", " leaves)
  message(FATAL_ERROR "Includes that point up (of alarm/, the lower folders include only "
                      "${leaves}; nothing includes sim/):${problems}")
endif()
list(LENGTH files n)
message(STATUS "${n} files of the program include only what lies below them")

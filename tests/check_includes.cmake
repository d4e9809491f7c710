# Fails when a dependency points up. What goes on the phone, from the top down: a folder
# includes only itself and the folders below it, and never the host's folders. The host's
# folders stand on the phone's: sandbox/ on platform/ and below (base/ for its shared words),
# sim/ on sandbox/ and the whole program. Tests and their support headers (names with
# "_test" in them) run on the host sandbox and may include anything.
#   cmake -DROOT=<project root> -P tests/check_includes.cmake
cmake_minimum_required(VERSION 3.16)

# The phone's folders from the top down, one level a line; folders of one level do not
# include each other. The two programs, the alarm and the ring player, are the top.
set(ALARM_LEVELS
  "alarm player"
  "input"
  "devices screen"
  "raster"
  "base"
  "platform"
)
# The host's folders, each with the folders it may include besides itself.
set(HOST_FOLDERS sandbox sim)
set(allowed_sandbox platform base)
set(allowed_sim sandbox alarm player input devices screen raster base platform)

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

# Each phone folder's level (0 at the top) as the variable level_<folder>.
set(folders "")
set(index 0)
foreach(level ${ALARM_LEVELS})
  string(REPLACE " " ";" members "${level}")
  foreach(dir ${members})
    set(level_${dir} ${index})
    list(APPEND folders ${dir})
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

# True in `out` when `from` may include a header of `to`.
function(may_include out from to)
  set(ok FALSE)
  if(to STREQUAL from)
    set(ok TRUE)
  elseif(DEFINED level_${from})
    if(DEFINED level_${to} AND level_${to} GREATER level_${from})
      set(ok TRUE)
    endif()
  elseif(to IN_LIST allowed_${from})
    set(ok TRUE)
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

set(problems "")
set(count 0)
foreach(dir ${folders} ${HOST_FOLDERS})
  file(GLOB found RELATIVE ${ROOT} ${ROOT}/${dir}/*.cpp ${ROOT}/${dir}/*.h)
  list(FILTER found EXCLUDE REGEX "_test[._]")
  foreach(file ${found})
    math(EXPR count "${count} + 1")
    project_includes(names ${file})
    foreach(name ${names})
      get_filename_component(to ${name} DIRECTORY)
      may_include(ok ${dir} "${to}")
      if(NOT ok)
        string(APPEND problems "\n  ${file} includes ${name}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  list(JOIN ALARM_LEVELS ", " order)
  message(FATAL_ERROR "Includes that point up (each folder of the phone includes only the "
                      "folders below it, from the top: ${order}; nothing of the phone "
                      "includes sandbox/ or sim/; sandbox/ stands on ${allowed_sandbox}):"
                      "${problems}")
endif()
message(STATUS "${count} files include only what lies below them")

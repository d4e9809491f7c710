# Fails when a dependency points up: a folder of the program includes only itself and the
# folders below it, and nothing of the program includes sim/. Tests and their support
# headers (names with "_test" in them) run on the host sandbox and may include anything.
#   cmake -DROOT=<project root> -P tests/check_includes.cmake
cmake_minimum_required(VERSION 3.16)

# The program's folders from the top down, one level a line; folders of one level do not
# include each other.
set(ALARM_LEVELS
  "alarm"
  "input"
  "devices screen"
  "raster"
  "base"
  "platform"
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

# Each folder's level (0 at the top) as the variable level_<folder>.
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

set(problems "")
set(count 0)
foreach(dir ${folders})
  file(GLOB found RELATIVE ${ROOT} ${ROOT}/${dir}/*.cpp ${ROOT}/${dir}/*.h)
  list(FILTER found EXCLUDE REGEX "_test[._]")
  foreach(file ${found})
    math(EXPR count "${count} + 1")
    project_includes(names ${file})
    foreach(name ${names})
      get_filename_component(to ${name} DIRECTORY)
      if(to STREQUAL dir)
        continue()
      endif()
      if(NOT DEFINED level_${to} OR NOT level_${to} GREATER level_${dir})
        string(APPEND problems "\n  ${file} includes ${name}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  list(JOIN ALARM_LEVELS ", " order)
  message(FATAL_ERROR "Includes that point up (each folder includes only the folders below "
                      "it, from the top: ${order}; nothing includes sim/):${problems}")
endif()
message(STATUS "${count} files of the program include only what lies below them")

cmake_minimum_required(VERSION 3.16)
# Fails when a file under src/ or app/ includes a header from a layer above
# its own. Layers, lowest first: common and platform, formula, script, host,
# video and audio, app. include/kinetra is the binary interface, usable by all.
# Run as: cmake -DROOT=<source dir> -P check_layers.cmake
set(rank_common 0)
set(rank_platform 0)
set(rank_kinetra 0)
set(rank_formula 1)
set(rank_script 2)
set(rank_host 3)
set(rank_video 4)
set(rank_audio 4)
set(rank_app 5)

# Upward includes still waiting to be moved down: "file|included layer".
set(known_exceptions
    "src/script/dispatch.cpp|video"
    "src/script/dispatch.cpp|audio")

file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/app/*.cpp
     ${ROOT}/app/*.h)
set(faults "")
foreach(path IN LISTS files)
  if(path MATCHES "^app/")
    set(own app)
  else()
    string(REGEX REPLACE "^src/([a-z_]+)/.*" "\\1" own "${path}")
  endif()
  if(NOT DEFINED rank_${own})
    string(APPEND faults "  ${path}: not in a known layer\n")
    continue()
  endif()
  file(STRINGS ${ROOT}/${path} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*\"([a-z_]+)/.*" "\\1" used "${line}")
    if(NOT DEFINED rank_${used})
      continue()  # a folder of its own layer's, e.g. app/ subfolders
    endif()
    if(rank_${used} GREATER rank_${own} AND NOT "${path}|${used}" IN_LIST known_exceptions)
      string(APPEND faults "  ${path} (${own}) includes from ${used}\n")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Includes that point up the layers:\n${faults}")
endif()

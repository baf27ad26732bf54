cmake_minimum_required(VERSION 3.16)
# Fails when a file under src/ or app/ includes a header from a layer above
# its own. Layers, lowest first: common and platform, formula, script, host,
# video and audio, app. include/kinetra is the binary interface, usable by all.
# Inside app/ its folders are layers of their own, in the order of the
# render pipeline: base, colour, source, then the checker, the plug-in's
# loading and services and the output, then render, then the preview, the
# demo, the render farm and the MLT module, and the command line on top.
# The host program reaches the plug-in's code only through the layers below
# its filters (the command table, the loader, the formula compiler), never
# through a filter's own headers.
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
set(rank_base 10)
set(rank_colour 11)
set(rank_source 12)
set(rank_checker 13)
set(rank_plugin 13)
set(rank_output 13)
set(rank_render 14)
set(rank_preview 15)
set(rank_demo 15)
set(rank_farm 15)
set(rank_mlt 15)
set(rank_cli 16)
set(app_may_use common platform kinetra formula script host)

file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/app/*.cpp
     ${ROOT}/app/*.h)
set(faults "")
foreach(path IN LISTS files)
  if(path MATCHES "^app/([a-z_]+)/")
    set(own ${CMAKE_MATCH_1})
  elseif(path MATCHES "^app/")
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
      continue()  # not a layer's folder (a library's, or the layer's own)
    endif()
    if(rank_${used} GREATER rank_${own})
      string(APPEND faults "  ${path} (${own}) includes from ${used}\n")
    elseif(NOT rank_${own} LESS rank_app AND rank_${used} LESS rank_app
           AND NOT used IN_LIST app_may_use)
      string(APPEND faults "  ${path} (${own}) includes from the plug-in's ${used}\n")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Includes that point up the layers or into the plug-in's filters:\n${faults}")
endif()

cmake_minimum_required(VERSION 3.16)
# Fails unless a built Linux kinetra.auf exports exactly the plug-in's two
# entry points: GetFilterTableList, which the editor calls, and
# KinetraTakeRunFailures, which the Linux host looks up. Anything more (a C++
# library template instantiated in the plug-in, say) could bind to another
# module's copy of the same name once loaded. The Windows DLL's exports are
# checked by tests/windows/check_dll.sh.
# Run as: cmake -DNM=<nm> -DPLUGIN=<kinetra.auf> -P check_exports.cmake
set(expected GetFilterTableList KinetraTakeRunFailures)

execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN}
  RESULT_VARIABLE result OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${PLUGIN} failed: ${errors}")
endif()

# Each line reads "ADDRESS TYPE NAME", NAME perhaps with a version (@VER).
string(REPLACE "\n" ";" listing "${listing}")
set(exported "")
foreach(line IN LISTS listing)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^@ ]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)

if(NOT exported STREQUAL expected)
  list(JOIN exported "\n  " shown)
  message(FATAL_ERROR "${PLUGIN} exports\n  ${shown}\nnot exactly ${expected}")
endif()
message(STATUS "${PLUGIN} exports ${exported}")

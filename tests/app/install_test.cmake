# Installs the build into a fresh prefix and uses the installed program from
# another directory: it must find its plug-in by itself and render a clip.
#   cmake -DBUILD=<build dir> -DWORK=<scratch dir> -P install_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/elsewhere)
set(PREFIX ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/kinetra lib/kinetra/kinetra.auf share/man/man1/kinetra.1
          share/bash-completion/completions/kinetra share/doc/kinetra/README.md)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# From another directory, with no hint where the plug-in is.
set(ENV{KINETRA_PLUGIN} "")
execute_process(COMMAND ${PREFIX}/bin/kinetra --version WORKING_DIRECTORY ${WORK}/elsewhere
  RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "plug-in: ${PREFIX}/lib/kinetra/kinetra.auf")
  message(FATAL_ERROR "the installed program does not find its plug-in:\n${out}")
endif()

# A small clip with a script next to it, rendered by the installed program.
file(MAKE_DIRECTORY ${WORK}/clip)
execute_process(COMMAND ffmpeg -v error -f lavfi -i testsrc2=s=64x48:r=25:d=0.4
  -f lavfi -i sine=d=0.4 -shortest -c:v ffv1 ${WORK}/clip/source.mkv RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ffmpeg could not make the test clip")
endif()
file(WRITE ${WORK}/clip/kinetra.txt "fill(0, 0, 0, 8, 8, 4096, 0, 0)\n")
execute_process(COMMAND ${PREFIX}/bin/kinetra render ../clip/source.mkv -o out.mkv -q
  WORKING_DIRECTORY ${WORK}/elsewhere RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK}/elsewhere/out.mkv)
  message(FATAL_ERROR "the installed program could not render: ${rc}\n${err}")
endif()

# Without its plug-in the message says how to name one.
file(REMOVE ${PREFIX}/lib/kinetra/kinetra.auf)
execute_process(COMMAND ${PREFIX}/bin/kinetra render ../clip/source.mkv -o out2.mkv
  WORKING_DIRECTORY ${WORK}/elsewhere RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "--plugin" OR NOT err MATCHES "KINETRA_PLUGIN")
  message(FATAL_ERROR "a missing plug-in is not explained:\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})

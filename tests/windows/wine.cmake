# Running the Windows test build under Wine. The wine64 loader lives in
# Wine's library folder (the `wine` on the PATH is only a wrapper around it);
# every program runs in a private prefix inside the build directory.
find_program(KINETRA_WINE64 NAMES wine64
  PATHS /usr/lib/wine /usr/lib64/wine /usr/lib/x86_64-linux-gnu/wine /usr/libexec/wine
  NO_DEFAULT_PATH)
find_program(KINETRA_WINE64 NAMES wine64)
get_filename_component(KINETRA_WINE_DIR "${KINETRA_WINE64}" DIRECTORY)
find_program(KINETRA_WINESERVER NAMES wineserver wineserver64 PATHS ${KINETRA_WINE_DIR}
  NO_DEFAULT_PATH)
find_program(KINETRA_WINESERVER NAMES wineserver)
if(NOT KINETRA_WINE64 OR NOT KINETRA_WINESERVER)
  message(WARNING "wine64 not found: the Windows tests can be built but not run")
endif()

set(KINETRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# Wine shows the Linux file system as drive Z: (Windows accepts '/' there).
set(KINETRA_WINE_BINARY_DIR "Z:${CMAKE_BINARY_DIR}")
set(KINETRA_WINE_SOURCE_DIR "Z:${CMAKE_SOURCE_DIR}")

# The plug-in files are checked without running them: machine, exports and
# imports (the 32-bit one when make test-windows built it beside this build).
set(KINETRA_WIN32_PLUGIN "" CACHE FILEPATH "The 32-bit kinetra.auf to check")
add_test(NAME windows_dll_x86_64
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_dll.sh x86-64 $<TARGET_FILE:kinetra>)
if(KINETRA_WIN32_PLUGIN)
  add_test(NAME windows_dll_i386
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_dll.sh i386 ${KINETRA_WIN32_PLUGIN})
endif()

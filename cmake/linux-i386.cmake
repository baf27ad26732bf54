# The plug-in and its test suites as 32-bit (i386) Linux programs, built with
# the machine's multilib GCC and run under QEMU's user-mode emulator: the
# 32-bit code the editor's plug-in is made of (pointers, sizes, the portable
# kernels, the 128-bit helper) executed on a machine that cannot run 32-bit
# code itself. SSE2 arithmetic as in the editor's build (mingw-i686.cmake):
# the x87 unit's 80-bit intermediates would change double results.
#
# The i386 libraries come from KINETRA_I386_SYSROOT (made by
# cmake/i386-sysroot.sh; by default BUILD/sysroot); the C and C++ runtimes
# are the machine's own 32-bit ones (gcc-multilib, g++-multilib).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

if(NOT KINETRA_I386_SYSROOT)
  set(KINETRA_I386_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
endif()
set(KINETRA_I386_SYSROOT ${KINETRA_I386_SYSROOT} CACHE PATH "Unpacked i386 libraries")
# try_compile projects read this file again, with their own binary folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KINETRA_I386_SYSROOT)
set(_i386_libs ${KINETRA_I386_SYSROOT}/usr/lib/i386-linux-gnu ${KINETRA_I386_SYSROOT}/lib/i386-linux-gnu)

set(_i386_flags "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${_i386_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_i386_flags}")
# The sysroot's libraries need one another (FreeType needs libpng, ...).
list(JOIN _i386_libs ":" _i386_path)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -Wl,-rpath-link,${_i386_path}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32 -Wl,-rpath-link,${_i386_path}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32 -Wl,-rpath-link,${_i386_path}")

# Headers and libraries from the sysroot (and the compiler's own), programs
# from the machine.
set(CMAKE_FIND_ROOT_PATH ${KINETRA_I386_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KINETRA_I386_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${KINETRA_I386_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig)
set(GTest_DIR ${KINETRA_I386_SYSROOT}/usr/lib/i386-linux-gnu/cmake/GTest CACHE PATH "")

# Test discovery and CTest run the programs under the emulator: the machine's
# 32-bit loader and C library (-L /), the sysroot's libraries.
find_program(KINETRA_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KINETRA_QEMU_I386} -L / -E LD_LIBRARY_PATH=${_i386_path})

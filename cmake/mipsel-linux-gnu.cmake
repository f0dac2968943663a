# Cross build for the board: 32-bit little-endian MIPS (MIPS32 rel2), Debian's
# mipsel-linux-gnu toolchain and the sysroot made by scripts/sysroot.sh.
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# PANELD_SYSROOT (cache or environment) names another sysroot. Test programs
# and the tools they start run under qemu-mipsel with that sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT PANELD_SYSROOT)
  if(DEFINED ENV{PANELD_SYSROOT})
    set(PANELD_SYSROOT $ENV{PANELD_SYSROOT})
  else()
    get_filename_component(PANELD_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-sysroot/mipsel ABSOLUTE)
  endif()
endif()
set(PANELD_SYSROOT ${PANELD_SYSROOT} CACHE PATH "mipsel sysroot (scripts/sysroot.sh)")
# try_compile projects see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PANELD_SYSROOT)
if(NOT EXISTS ${PANELD_SYSROOT}/lib/ld.so.1)
  message(FATAL_ERROR "No mipsel sysroot at ${PANELD_SYSROOT}: run scripts/sysroot.sh first")
endif()
set(CMAKE_SYSROOT ${PANELD_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${PANELD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} ${PANELD_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${PANELD_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${PANELD_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# 64-bit atomics (time stamps, the clock offset) are library calls on MIPS32.
set(CMAKE_C_STANDARD_LIBRARIES "-latomic" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic" CACHE STRING "" FORCE)

find_program(PANELD_QEMU qemu-mipsel)
if(PANELD_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PANELD_QEMU} -L ${PANELD_SYSROOT})
endif()

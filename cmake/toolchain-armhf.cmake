# Cross-build for the box's own processor (Cortex-A7, 32-bit ARM hard-float)
# with Debian's cross toolchain and the armhf builds of the libraries, from
# one of two places:
#
#   system: installed beside the native ones with dpkg multiarch
#           (/usr/lib/arm-linux-gnueabihf, /usr/include/arm-linux-gnueabihf)
#     cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#   local:  unpacked into a folder of their own (tools/armhf_root.sh), the
#           same multiarch layout under it, used as the sysroot
#     cmake ... -DTELAGENT_ARMHF_ROOT=$PWD/build/armhf-root
#
# `make test-armhf` picks one (ARMHF_ROOT_MODE).  Test programs run under
# qemu-user with the libraries of that same place: one libc for the loader,
# libstdc++ and every library they link.  Mixing in the cross toolchain's own
# libc copy (/usr/arm-linux-gnueabihf) crashes at the first thread start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TELAGENT_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${TELAGENT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TELAGENT_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TELAGENT_TRIPLET})

# The root is read again by every try_compile project and by nested builds
# (the device-build test), which see the environment but not this cache.
if(NOT TELAGENT_ARMHF_ROOT AND DEFINED ENV{TELAGENT_ARMHF_ROOT})
  set(TELAGENT_ARMHF_ROOT "$ENV{TELAGENT_ARMHF_ROOT}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TELAGENT_ARMHF_ROOT)

if(TELAGENT_ARMHF_ROOT)
  get_filename_component(TELAGENT_ARMHF_ROOT "${TELAGENT_ARMHF_ROOT}" ABSOLUTE)
  if(NOT EXISTS "${TELAGENT_ARMHF_ROOT}/lib/ld-linux-armhf.so.3")
    message(FATAL_ERROR "TELAGENT_ARMHF_ROOT=${TELAGENT_ARMHF_ROOT} holds no armhf libc "
      "(lib/ld-linux-armhf.so.3): make it with tools/armhf_root.sh")
  endif()
  set(ENV{TELAGENT_ARMHF_ROOT} "${TELAGENT_ARMHF_ROOT}")
  # Debian's cross gcc knows the multiarch layout under a sysroot:
  # <root>/usr/include/arm-linux-gnueabihf, <root>/usr/lib/arm-linux-gnueabihf.
  set(CMAKE_SYSROOT "${TELAGENT_ARMHF_ROOT}")
  set(CMAKE_FIND_ROOT_PATH "${TELAGENT_ARMHF_ROOT}")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TELAGENT_ARMHF_ROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${TELAGENT_ARMHF_ROOT}/usr/lib/${TELAGENT_TRIPLET}/pkgconfig:${TELAGENT_ARMHF_ROOT}/usr/share/pkgconfig")
  set(TELAGENT_ARMHF_RUNTIME_ROOT "${TELAGENT_ARMHF_ROOT}")
  # Headers and CMake packages from the root only: this machine's own armhf
  # packages, when it has some, must not stand in for a missing one.
  set(_telagent_find_mode ONLY)
else()
  # Multiarch: the armhf libraries live beside the native ones under /usr.
  set(CMAKE_FIND_ROOT_PATH /usr/${TELAGENT_TRIPLET} /)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TELAGENT_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
  set(TELAGENT_ARMHF_RUNTIME_ROOT /)
  set(_telagent_find_mode BOTH)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ${_telagent_find_mode})
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ${_telagent_find_mode})

find_program(TELAGENT_QEMU_ARM qemu-arm)
if(TELAGENT_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TELAGENT_QEMU_ARM} -L ${TELAGENT_ARMHF_RUNTIME_ROOT})
endif()

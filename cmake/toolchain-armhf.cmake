# Cross-build for the box's own processor (Cortex-A7, 32-bit ARM hard-float)
# with Debian's cross toolchain and the armhf builds of the libraries
# (dpkg --add-architecture armhf; `make test-armhf` installs them).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Test programs run under qemu-user with Debian's multiarch libraries: one
# libc for the loader, libstdc++ and every library they link.  Mixing in the
# cross toolchain's own libc copy (/usr/arm-linux-gnueabihf) crashes at the
# first thread start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TELAGENT_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${TELAGENT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TELAGENT_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TELAGENT_TRIPLET})

# Multiarch: the armhf libraries live beside the native ones under /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${TELAGENT_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TELAGENT_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

find_program(TELAGENT_QEMU_ARM qemu-arm)
if(TELAGENT_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TELAGENT_QEMU_ARM} -L /)
endif()

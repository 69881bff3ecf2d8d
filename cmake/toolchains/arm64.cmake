# Cross build for Debian arm64 with Debian's cross compiler (crossbuild-essential-arm64)
# and the multi-arch -dev packages (libjsoncpp-dev:arm64 and the like): no sysroot,
# the target's libraries are in /usr/lib/aarch64-linux-gnu. Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(K417T_DEB_ARCH arm64 CACHE STRING "Debian architecture of the package")

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Headers and libraries come from the multi-arch folders under /usr as well.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The target's loader and libraries are installed on the build machine
# (multi-arch), so qemu needs no -L.
find_program(K417T_QEMU qemu-aarch64)
if(K417T_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${K417T_QEMU})
endif()

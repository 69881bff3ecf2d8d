# Cross build for Debian armhf with Debian's cross compiler (crossbuild-essential-armhf)
# and the multi-arch -dev packages (libjsoncpp-dev:armhf and the like): no sysroot,
# the target's libraries are in /usr/lib/arm-linux-gnueabihf. Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(K417T_DEB_ARCH armhf CACHE STRING "Debian architecture of the package")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Headers and libraries come from the multi-arch folders under /usr as well.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# The target's loader and libraries are installed on the build machine
# (multi-arch), so qemu needs no -L.
find_program(K417T_QEMU qemu-arm)
if(K417T_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${K417T_QEMU})
endif()

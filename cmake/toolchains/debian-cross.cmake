# Cross build for a Debian architecture with Debian's cross compiler
# (crossbuild-essential-<arch>) and the multi-arch -dev packages
# (libjsoncpp-dev:<arch> and the like): no sysroot, the target's libraries are
# in /usr/lib/<triplet>. Tests run under qemu-user. Included by <arch>.cmake,
# which sets K417T_CROSS_TRIPLET, K417T_CROSS_PROCESSOR, K417T_CROSS_DEB_ARCH
# and K417T_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${K417T_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${K417T_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${K417T_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${K417T_CROSS_TRIPLET}-g++)
set(K417T_DEB_ARCH ${K417T_CROSS_DEB_ARCH} CACHE STRING "Debian architecture of the package")

set(CMAKE_FIND_ROOT_PATH /usr/${K417T_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Headers and libraries come from the multi-arch folders under /usr as well.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${K417T_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# The target's loader and libraries are installed on the build machine
# (multi-arch), so qemu needs no -L.
find_program(K417T_QEMU ${K417T_CROSS_QEMU})
if(K417T_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${K417T_QEMU})
endif()

# Cross build for a Debian architecture with Debian's cross compiler
# (crossbuild-essential-<arch>). Included by <arch>.cmake, which sets
# K417T_CROSS_TRIPLET, K417T_CROSS_PROCESSOR, K417T_CROSS_DEB_ARCH and
# K417T_CROSS_QEMU. The target's libraries come from one of two places:
#  - K417T_CROSS_SYSROOT unset: the multi-arch -dev packages
#    (libjsoncpp-dev:<arch> and the like) in /usr/lib/<triplet>;
#  - K417T_CROSS_SYSROOT=DIR: the target's packages unpacked into DIR
#    (scripts/install-cross-deps.sh ARCH --sysroot DIR). The C library and the
#    compiler's own libraries still come with the cross compiler.
# Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${K417T_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${K417T_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${K417T_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${K417T_CROSS_TRIPLET}-g++)
set(K417T_DEB_ARCH ${K417T_CROSS_DEB_ARCH} CACHE STRING "Debian architecture of the package")
# try_compile projects read this file again: hand them the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K417T_CROSS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
find_program(K417T_QEMU ${K417T_CROSS_QEMU})

if(K417T_CROSS_SYSROOT)
  set(_sysroot ${K417T_CROSS_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${_sysroot} /usr/${K417T_CROSS_TRIPLET})
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(ENV{PKG_CONFIG_LIBDIR}
      ${_sysroot}/usr/lib/${K417T_CROSS_TRIPLET}/pkgconfig:${_sysroot}/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${_sysroot})
  # The libraries' own dependencies (libsystemd's liblzma and the like) are
  # found by the linker here.
  set(_rpath_link
      "-Wl,-rpath-link,${_sysroot}/usr/lib/${K417T_CROSS_TRIPLET}:${_sysroot}/lib/${K417T_CROSS_TRIPLET}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT ${_rpath_link})
  set(CMAKE_SHARED_LINKER_FLAGS_INIT ${_rpath_link})
  set(CMAKE_MODULE_LINKER_FLAGS_INIT ${_rpath_link})
  # qemu loads the loader and the libraries from the sysroot. One program,
  # not a list, since tests start the runner through it as well.
  if(K417T_QEMU)
    set(_wrapper ${CMAKE_BINARY_DIR}/qemu-${K417T_CROSS_DEB_ARCH})
    file(WRITE ${_wrapper} "#!/bin/sh\nexec '${K417T_QEMU}' -L '${_sysroot}' \"$@\"\n")
    file(CHMOD ${_wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_wrapper})
  endif()
else()
  set(CMAKE_FIND_ROOT_PATH /usr/${K417T_CROSS_TRIPLET})
  # Headers and libraries come from the multi-arch folders under /usr as well.
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${K417T_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
  # The target's loader and libraries are installed on the build machine
  # (multi-arch), so qemu needs no -L.
  if(K417T_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${K417T_QEMU})
  endif()
endif()
